#include "ModulePath.h"

#include <algorithm>

#include "raroredoziri/Fault.h"

namespace rd::server {
namespace {

constexpr wchar_t kExtendedPrefix[] = L"\\\\?\\";
constexpr wchar_t kExtendedUncPrefix[] = L"\\\\?\\UNC\\";

}  // namespace

std::wstring ModuleFileName(HMODULE module) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) CheckStatus(HRESULT_FROM_WIN32(GetLastError()));
    // A name that fills the buffer may have been cut short.
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    if (buffer.size() > kLongestPath) CheckStatus(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    buffer.resize(std::min(buffer.size() * 2, kLongestPath + 1));
  }
}

std::wstring ModuleLongPath(HMODULE module) { return LongPathOf(ModuleFileName(module)); }

std::wstring LongPathOf(std::wstring path) {
  std::wstring result;
  while (path.size() > 2) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(ExtendedPath(path).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) break;
    FindClose(search);
    result = L"\\" + std::wstring(found.cFileName) + result;
    const std::size_t slash = path.find_last_of(L'\\');
    path.resize(slash == std::wstring::npos ? 0 : slash);
  }
  // What is left: the drive ("C:"), or a part that could not be looked up.
  return path + result;
}

std::wstring ShortPathOf(const std::wstring& path) {
  const std::wstring lookup = ExtendedPath(path);
  const DWORD size = GetShortPathNameW(lookup.c_str(), nullptr, 0);
  if (size == 0 || size > kLongestPath + 1) return {};
  std::wstring result(size, L'\0');
  const DWORD length = GetShortPathNameW(lookup.c_str(), result.data(), size);
  if (length == 0 || length >= size) return {};
  result.resize(length);
  if (lookup.size() == path.size() || !result.starts_with(kExtendedPrefix)) return result;
  // Back to the plain form the caller gave.
  if (result.starts_with(kExtendedUncPrefix)) return L"\\\\" + result.substr(8);
  return result.substr(4);
}

std::wstring WithinMaxPath(const std::wstring& path) {
  if (path.size() < MAX_PATH) return path;
  std::wstring shorter = ShortPathOf(path);
  return shorter.empty() || shorter.size() >= MAX_PATH ? path : shorter;
}

std::wstring ExtendedPath(const std::wstring& path) {
  if (path.size() < MAX_PATH || path.starts_with(kExtendedPrefix)) return path;
  if (path.starts_with(L"\\\\")) return kExtendedUncPrefix + path.substr(2);
  if (path.size() > 2 && path[1] == L':' && path[2] == L'\\') return kExtendedPrefix + path;
  return path;
}

}  // namespace rd::server
