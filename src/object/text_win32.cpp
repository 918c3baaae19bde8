#include <windows.h>

#include "raroredoziri/Text.h"

namespace rd {

std::string WideToAnsi(std::u16string_view text) {
  if (text.empty()) return {};
  const auto* src = reinterpret_cast<const wchar_t*>(text.data());
  const int count = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(CP_THREAD_ACP, 0, src, count, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_THREAD_ACP, 0, src, count, out.data(), size, nullptr, nullptr);
  return out;
}

std::u16string AnsiToWide(std::string_view text) {
  if (text.empty()) return {};
  const int count = static_cast<int>(text.size());
  const int size = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), count, nullptr, 0);
  if (size <= 0) return {};
  std::u16string out(static_cast<size_t>(size), u'\0');
  MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), count, reinterpret_cast<wchar_t*>(out.data()),
                      size);
  return out;
}

std::string WideUnitToAnsi(char16_t unit) { return WideToAnsi(std::u16string_view(&unit, 1)); }

bool SetCodePage(unsigned) { return false; }

unsigned CodePage() {
  unsigned cp = 0;
  GetLocaleInfoA(GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                 reinterpret_cast<char*>(&cp), sizeof cp);
  return cp != 0 ? cp : GetACP();
}

}  // namespace rd
