// Entry points of RaroreDoziri.dll: DllMain and the four exports.
//
// Nothing that Windows forbids under the loader lock runs in DllMain or in
// the module's static destructors: no COM, no FreeLibrary, no closing of
// handles that another thread may be using.
//
// Process attach only records the module and creates its ServerModule. The
// rest of start-up (the load reference on the automation runtime, the class
// object and its binding to the type library, which maps the module's own
// file again) runs on the first call of DllGetClassObject, DllRegisterServer
// or DllUnregisterServer. A start-up that fails is tried again by the next
// call.
//
// The release is the other way round: when DllCanUnloadNow answers S_OK (no
// object, class-object reference or lock left), the host may unload the
// module at any moment, so that is where the class object, the type library,
// the load reference and the process-wide serial port and TCP connection are
// let go. The next DllGetClassObject starts up again. A module unloaded
// without that answer, or at process end, leaves what it holds to the system.
#include <windows.h>
// windows.h must come first.
#include <ole2.h>

#include <new>

#include "Registration.h"
#include "ServerModule.h"
#include "raroredoziri/Transport.h"

namespace {

rd::server::ServerModule* g_module = nullptr;

// Start-up with the class-object look-up, registration and the release in
// DllCanUnloadNow take turns. Statically initialised, with nothing to tear
// down at unload.
SRWLOCK g_turn = SRWLOCK_INIT;

class Turn {
 public:
  Turn() { AcquireSRWLockExclusive(&g_turn); }
  ~Turn() { ReleaseSRWLockExclusive(&g_turn); }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;
};

// In turn only.
bool Started() {
  if (!g_module) return false;
  try {
    g_module->StartUp();
    return true;
  } catch (...) {
    return false;
  }
}

HRESULT Registration(bool register_flag) {
  Turn turn;
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
      // A module that was released frees its memory; one that still holds
      // COM references (unloaded without DllCanUnloadNow answering S_OK, or
      // at process end, reserved not null) keeps them.
      if (!reserved && g_module && !g_module->Holds()) {
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
  Turn turn;
  if (!Started()) {
    *out = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  return rd::server::ClassList::Instance().GetClassObject(clsid, iid, out);
}

STDAPI DllCanUnloadNow() {
  if (!g_module) return S_OK;
  Turn turn;
  HRESULT answer = g_module->CanUnloadNow();
  // A host-name lookup that its caller gave up on still runs this module's
  // code on a worker thread: the module must stay until it ends.
  if (answer == S_OK && rd::LookupsPending()) answer = S_FALSE;
  if (answer == S_OK && g_module->Holds()) {
    try {
      g_module->ShutDown();
      // No object is left to use the process-wide channels or Winsock.
      if (!rd::ReleaseNetwork()) answer = S_FALSE;
    } catch (...) {
      // Out of memory while taking the class objects off the list: what is
      // still held stays until the next answer S_OK.
    }
  }
  return answer;
}

STDAPI DllRegisterServer() { return Registration(true); }

STDAPI DllUnregisterServer() { return Registration(false); }
