// Entry points of RaroreDoziri.dll: DllMain and the four exports.
//
// Process attach only records the module and creates its ServerModule. The
// rest of start-up (the load reference on the automation runtime, the class
// object and its binding to the type library, which maps the module's own
// file again) is loader work that does not belong under the loader lock: it
// runs once, on the first call of DllGetClassObject, DllRegisterServer or
// DllUnregisterServer. A start-up that fails is tried again by the next call.
#include <windows.h>
// windows.h must come first.
#include <ole2.h>

#include <new>

#include "Registration.h"
#include "ServerModule.h"
#include "raroredoziri/Fault.h"

namespace {

rd::server::ServerModule* g_module = nullptr;
INIT_ONCE g_start_up = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK StartUp(PINIT_ONCE, PVOID, PVOID*) {
  try {
    g_module->StartUp();
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

bool Started() { return g_module && InitOnceExecuteOnce(&g_start_up, StartUp, nullptr, nullptr); }

HRESULT Registration(bool register_flag) {
  if (!Started()) return E_FAIL;
  try {
    rd::server::UpdateRegistration(*g_module, register_flag);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(instance);
      g_module = new (std::nothrow) rd::server::ServerModule(instance);
      return g_module != nullptr;
    case DLL_PROCESS_DETACH:
      // At process end (reserved not null) other modules may already be
      // gone: leave everything to the system.
      if (!reserved) {
        delete g_module;
        g_module = nullptr;
      }
      return TRUE;
    default:
      return TRUE;
  }
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  if (!out) return E_POINTER;
  if (!Started()) {
    *out = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  return rd::server::ClassList::Instance().GetClassObject(clsid, iid, out);
}

STDAPI DllCanUnloadNow() { return g_module ? g_module->CanUnloadNow() : S_OK; }

STDAPI DllRegisterServer() { return Registration(true); }

STDAPI DllUnregisterServer() { return Registration(false); }
