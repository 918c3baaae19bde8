#include "Registration.h"

#include <cstdio>

#include "raroredoziri/Fault.h"

namespace rd::server {
namespace {

using UnRegisterTypeLibFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

void RegisterTypeLibrary(ITypeLib* lib, const std::string& long_path) {
  std::wstring path = ToWide(long_path);
  std::wstring help_dir = ToWide(HelpDirectoryOf(long_path));
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
  const std::string clsid_key = "CLSID\\" + GuidText(entry.clsid);
  const std::string server_key = clsid_key + "\\InprocServer32";
  WriteRegString(clsid_key, "", entry.description);
  WriteRegString(server_key, "", InprocServerPath(ModuleLongPath(module.Instance())));
  WriteRegString(server_key, "ThreadingModel", "Apartment");
  WriteRegString(entry.prog_id, "", entry.description);
  WriteRegString(entry.prog_id + "\\Clsid", "", GuidText(entry.clsid));
  WriteRegString(clsid_key + "\\ProgID", "", entry.prog_id);
  const LibAttr attr(module.TypeLib());
  char version[32];
  std::snprintf(version, sizeof version, "%d.%d", attr->wMajorVerNum, attr->wMinorVerNum);
  WriteRegString(clsid_key + "\\Version", "", version);
  WriteRegString(clsid_key + "\\TypeLib", "", GuidText(attr->guid));
}

void RemoveClassKeys(const ClassRegistration& entry) {
  const std::string clsid_key = "CLSID\\" + GuidText(entry.clsid);
  RemoveRegKey(clsid_key + "\\TypeLib");
  RemoveRegKey(clsid_key + "\\Version");
  RemoveRegKey(clsid_key + "\\ProgID");
  RemoveRegKey(entry.prog_id + "\\Clsid");
  RemoveRegKey(entry.prog_id);
  RemoveRegKey(clsid_key + "\\InprocServer32");
  RemoveRegKey(clsid_key);
}

void WriteRegString(const std::string& key, const std::string& value_name,
                    const std::string& data) {
  HKEY handle = nullptr;
  char empty_class[] = "";
  LONG status =
      RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, empty_class, REG_OPTION_NON_VOLATILE,
                      KEY_READ | KEY_WRITE, nullptr, &handle, nullptr);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExA(handle, value_name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>(data.size() + 1));
    RegCloseKey(handle);
  }
  if (status != ERROR_SUCCESS) throw Fault(kRegistryFault);
}

void RemoveRegKey(const std::string& key) { RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str()); }

std::string GuidText(REFGUID guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string HelpDirectoryOf(const std::string& path) {
  const std::size_t end = path.find_last_of("\\:");
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

std::string InprocServerPath(const std::string& long_path) {
  if (long_path.find(' ') == std::string::npos) return long_path;
  char short_path[MAX_PATH + 1];
  const DWORD length = GetShortPathNameA(long_path.c_str(), short_path, sizeof short_path);
  if (length == 0 || length >= sizeof short_path) return long_path;
  return std::string(short_path, length);
}

}  // namespace rd::server
