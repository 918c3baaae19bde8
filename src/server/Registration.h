// Registration of the server under HKEY_CLASSES_ROOT: the type library and,
// per class object, the CLSID and ProgID keys. Every write goes through
// WriteRegString; there is no roll-back of what was written before a fault.
// Keys, values and paths go to the registry in wide characters, so a path
// outside the system's ANSI code page is recorded as it is.
#pragma once

#include <string>

#include "ServerModule.h"

namespace rd::server {

inline constexpr const char* kRegistryFault = "Error creating system registry entry";

// What the registry records about one class.
struct ClassRegistration {
  const CLSID& clsid;
  std::wstring description;
  std::wstring prog_id;
};

// The body of DllRegisterServer (flag set) and DllUnregisterServer (flag
// clear). Raises Fault; the exports turn it into E_FAIL.
void UpdateRegistration(ServerModule& module, bool register_flag);

// The eight values of a class, in their fixed order. Raises Fault.
void WriteClassKeys(const ClassRegistration& entry, ServerModule& module);
// Deletes the class's keys, deepest first; failures are ignored.
void RemoveClassKeys(const ClassRegistration& entry);

// Creates or opens `key` under HKEY_CLASSES_ROOT and sets `value_name` (empty:
// the default value) to `data` as REG_SZ. Raises Fault(kRegistryFault).
void WriteRegString(const std::wstring& key, const std::wstring& value_name,
                    const std::wstring& data);
// Deletes `key` (only a key without subkeys goes); the status is ignored.
void RemoveRegKey(const std::wstring& key);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, as StringFromCLSID.
std::string GuidText(REFGUID guid);
// The path up to and including its last "\" or ":"; empty when it has none.
std::wstring HelpDirectoryOf(const std::wstring& path);
// The path for InprocServer32: the short (8.3) form when the long path holds a
// space or is too long for the runtime (MAX_PATH or more) and a short form
// exists, else the long path.
std::wstring InprocServerPath(const std::wstring& long_path);

}  // namespace rd::server
