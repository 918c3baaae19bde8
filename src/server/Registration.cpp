#include "Registration.h"

#include <cstdio>

#include "ModulePath.h"
#include "raroredoziri/Fault.h"

namespace rd::server {
namespace {

using UnRegisterTypeLibFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

void RegisterTypeLibrary(ITypeLib* lib, const std::wstring& long_path) {
  // Hosts load the library back from this path with calls that take no more
  // than MAX_PATH characters.
  std::wstring path = WithinMaxPath(long_path);
  std::wstring help_dir = HelpDirectoryOf(path);
  CheckStatus(RegisterTypeLib(lib, path.data(), help_dir.data()));
}

// Skipped when the automation runtime or its UnRegisterTypeLib is missing.
// Only a failure to read the library's attributes raises.
void UnregisterTypeLibrary(ServerModule& module) {
  const HMODULE runtime = GetModuleHandleA("OLEAUT32.DLL");
  if (!runtime) return;
  const FARPROC proc = GetProcAddress(runtime, "UnRegisterTypeLib");
  if (!proc) return;
  const auto unregister = reinterpret_cast<UnRegisterTypeLibFn>(reinterpret_cast<void*>(proc));
  const LibAttr attr(module.TypeLib());
  unregister(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
}

}  // namespace

void UpdateRegistration(ServerModule& module, bool register_flag) {
  if (register_flag) {
    RegisterTypeLibrary(module.TypeLib(), ModuleLongPath(module.Instance()));
  } else {
    UnregisterTypeLibrary(module);
  }
  ClassList::Instance().ForEachOf(
      module, [&](ClassObject& object) { object.UpdateRegistration(register_flag); });
}

void WriteClassKeys(const ClassRegistration& entry, ServerModule& module) {
  const std::wstring clsid = ToWide(GuidText(entry.clsid));
  const std::wstring clsid_key = L"CLSID\\" + clsid;
  const std::wstring server_key = clsid_key + L"\\InprocServer32";
  WriteRegString(clsid_key, L"", entry.description);
  WriteRegString(server_key, L"", InprocServerPath(ModuleLongPath(module.Instance())));
  WriteRegString(server_key, L"ThreadingModel", L"Apartment");
  WriteRegString(entry.prog_id, L"", entry.description);
  WriteRegString(entry.prog_id + L"\\Clsid", L"", clsid);
  WriteRegString(clsid_key + L"\\ProgID", L"", entry.prog_id);
  const LibAttr attr(module.TypeLib());
  WriteRegString(clsid_key + L"\\Version", L"",
                 std::to_wstring(attr->wMajorVerNum) + L"." + std::to_wstring(attr->wMinorVerNum));
  WriteRegString(clsid_key + L"\\TypeLib", L"", ToWide(GuidText(attr->guid)));
}

void RemoveClassKeys(const ClassRegistration& entry) {
  const std::wstring clsid_key = L"CLSID\\" + ToWide(GuidText(entry.clsid));
  RemoveRegKey(clsid_key + L"\\TypeLib");
  RemoveRegKey(clsid_key + L"\\Version");
  RemoveRegKey(clsid_key + L"\\ProgID");
  RemoveRegKey(entry.prog_id + L"\\Clsid");
  RemoveRegKey(entry.prog_id);
  RemoveRegKey(clsid_key + L"\\InprocServer32");
  RemoveRegKey(clsid_key);
}

void WriteRegString(const std::wstring& key, const std::wstring& value_name,
                    const std::wstring& data) {
  HKEY handle = nullptr;
  wchar_t empty_class[] = L"";
  LONG status =
      RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, empty_class, REG_OPTION_NON_VOLATILE,
                      KEY_READ | KEY_WRITE, nullptr, &handle, nullptr);
  if (status == ERROR_SUCCESS) {
    // The size counts the terminating zero.
    status = RegSetValueExW(handle, value_name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
  }
  if (status != ERROR_SUCCESS) throw Fault(kRegistryFault);
}

void RemoveRegKey(const std::wstring& key) { RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str()); }

std::string GuidText(REFGUID guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

std::wstring HelpDirectoryOf(const std::wstring& path) {
  const std::size_t end = path.find_last_of(L"\\:");
  return end == std::wstring::npos ? std::wstring() : path.substr(0, end + 1);
}

std::wstring InprocServerPath(const std::wstring& long_path) {
  if (long_path.find(L' ') == std::wstring::npos && long_path.size() < MAX_PATH) return long_path;
  const std::wstring short_path = ShortPathOf(long_path);
  return short_path.empty() ? long_path : short_path;
}

}  // namespace rd::server
