// Shared by the server tests: the DLL under test loaded into this process,
// its exports, and small COM helpers.
#pragma once

#include <windows.h>
// windows.h must come first.
#include <ocidl.h>
#include <ole2.h>

#include <string>

#include "RaroreDoziri_TLB.h"
#include "object/ComPtr.h"

namespace rd::test {

// A build path as Windows sees it: under wine the Linux file system is drive
// Z:.
inline std::wstring WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  std::wstring wide(path.begin(), path.end());
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  return wide;
}

// The DLL under test, and the test type libraries built beside the tests.
inline std::wstring ServerPath() { return WindowsPath(RD_SERVER_DLL); }
inline std::wstring TestTlbPath(const char* name) {
  return WindowsPath(std::string(RD_TEST_TLB_DIR) + "/" + name);
}

// The DLL, loaded once for the whole test program and kept loaded.
class ServerDll {
 public:
  static ServerDll& Get() {
    static ServerDll dll;
    return dll;
  }
  bool Loaded() const { return module_ != nullptr; }
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const {
    return get_class_object_(clsid, iid, out);
  }
  HRESULT CanUnloadNow() const { return can_unload_now_(); }
  HRESULT RegisterServer() const { return register_server_(); }
  HRESULT UnregisterServer() const { return unregister_server_(); }

 private:
  using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  using NoArgumentFn = HRESULT(WINAPI*)();

  template <class Fn>
  Fn Export(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }
  ServerDll() : module_(LoadLibraryW(ServerPath().c_str())) {
    if (!module_) return;
    get_class_object_ = Export<GetClassObjectFn>("DllGetClassObject");
    can_unload_now_ = Export<NoArgumentFn>("DllCanUnloadNow");
    register_server_ = Export<NoArgumentFn>("DllRegisterServer");
    unregister_server_ = Export<NoArgumentFn>("DllUnregisterServer");
    if (!get_class_object_ || !can_unload_now_ || !register_server_ || !unregister_server_) {
      module_ = nullptr;
    }
  }

  HMODULE module_;
  GetClassObjectFn get_class_object_ = nullptr;
  NoArgumentFn can_unload_now_ = nullptr;
  NoArgumentFn register_server_ = nullptr;
  NoArgumentFn unregister_server_ = nullptr;
};

// While it lives, HKEY_CLASSES_ROOT of this process is a key that has been
// deleted, so that every write under it fails.
class ClassesRootGone {
 public:
  ClassesRootGone() {
    const wchar_t* name = L"Software\\RaroreDoziri Test Deleted";
    if (RegCreateKeyExW(HKEY_CURRENT_USER, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                        nullptr) != ERROR_SUCCESS) {
      return;
    }
    active_ = RegDeleteKeyW(HKEY_CURRENT_USER, name) == ERROR_SUCCESS &&
              RegOverridePredefKey(HKEY_CLASSES_ROOT, key_) == ERROR_SUCCESS;
  }
  ~ClassesRootGone() {
    if (active_) RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    if (key_) RegCloseKey(key_);
  }
  ClassesRootGone(const ClassesRootGone&) = delete;
  ClassesRootGone& operator=(const ClassesRootGone&) = delete;
  bool Active() const { return active_; }

 private:
  HKEY key_ = nullptr;
  bool active_ = false;
};

// A VARIANT that clears itself.
struct Variant : VARIANT {
  Variant() { VariantInit(this); }
  ~Variant() { VariantClear(this); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

inline std::wstring Text(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : L""; }

}  // namespace rd::test
