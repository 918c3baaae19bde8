// Many create/use/release cycles of Scale objects through the class object
// of RaroreDoziri.dll in a real COM runtime (wine for the MinGW builds): early-
// and late-bound puts and gets, methods that find no usable connection, a
// refused put with its error information. After every hundredth cycle
// DllCanUnloadNow answers S_OK, so the module lets go of its class object and
// type library and the next cycle starts it afresh. The bytes in use in the
// process's heaps have not grown between an early and the last checkpoint.
//
// RD_WINSOAK_CYCLES (environment) sets the number of cycles; default 100000.
#include <windows.h>
// windows.h must come first.
#include <gtest/gtest.h>
#include <ocidl.h>
#include <ole2.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "RaroreDoziri_TLB.h"
#include "object/ComPtr.h"

namespace rd::test {
namespace {

std::wstring WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;  // wine's drive for /
  std::wstring wide(path.begin(), path.end());
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  return wide;
}

class Module {
 public:
  Module() : module_(LoadLibraryW(WindowsPath(RD_SERVER_DLL).c_str())) {
    if (module_ == nullptr) return;
    get_class_object_ = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
    can_unload_now_ = reinterpret_cast<CanUnloadNowFn>(
        reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
  }
  ~Module() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  bool Loaded() const { return get_class_object_ != nullptr && can_unload_now_ != nullptr; }
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const {
    return get_class_object_(clsid, iid, out);
  }
  HRESULT CanUnloadNow() const { return can_unload_now_(); }

 private:
  using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  using CanUnloadNowFn = HRESULT(WINAPI*)();
  HMODULE module_;
  GetClassObjectFn get_class_object_ = nullptr;
  CanUnloadNowFn can_unload_now_ = nullptr;
};

// Bytes in use in every heap of the process (the C runtime's, the process
// heap behind the automation strings and COM's task allocator): a leak per
// cycle shows here whatever the platform's memory counters report.
std::size_t HeapBytesInUse() {
  HANDLE heaps[64];
  const DWORD count = GetProcessHeaps(64, heaps);
  std::size_t total = 0;
  for (DWORD i = 0; i < count && i < 64; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heaps[i], &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
    }
    HeapUnlock(heaps[i]);
  }
  return total;
}

// The process's working set (0 where the platform does not report it).
std::size_t WorkingSet() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)
             ? counters.WorkingSetSize
             : 0;
}

HRESULT Invoke(IDispatch* dispatch, const wchar_t* name, WORD flags, VARIANT* argument,
               VARIANT* result) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{argument, argument ? &named : nullptr, argument ? 1u : 0u, argument ? 1u : 0u};
  return dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr,
                          nullptr);
}

// One cycle: create, use, release. Returns false at the first surprise.
bool Cycle(const Module& module, int n) {
  ComPtr<IClassFactory> factory;
  if (module.GetClassObject(CLSID_Scale, IID_IClassFactory, factory.put_void()) != S_OK)
    return false;
  ComPtr<IScale> scale;
  if (factory->CreateInstance(nullptr, IID_IScale, scale.put_void()) != S_OK) return false;
  factory.reset();
  if (module.CanUnloadNow() != S_FALSE) return false;

  // Early bound: texts in and out, a connection string that names no link.
  Bstr connection(n % 2 ? u"Xyz" : u"");
  Bstr goods(u"Goods \u00E9 " + std::u16string(static_cast<std::size_t>(n % 40), u'x'));
  if (scale->put_Connection(connection.get()) != S_OK) return false;
  if (scale->put_Goods(goods.get()) != S_OK) return false;
  if (scale->put_LabelFormat(goods.get()) != S_OK) return false;
  Bstr back;
  if (scale->get_Goods(back.put()) != S_OK || back.str() != goods.str()) return false;
  if (scale->get_LabelFormat(back.put()) != S_OK) return false;
  long result = -1;
  if (scale->ReadWeight(&result) != S_OK || result != 1) return false;
  if (scale->SetGoodsButton(&result) != S_OK || result != 1) return false;
  if (scale->OpenConnection(&result) != S_OK || result != 1) return false;
  long weight = -1;
  if (scale->get_Weight(&weight) != S_OK || weight != 0) return false;

  // A refused put leaves error information, which the host takes.
  if (scale->put_Screen(-1) == S_OK) return false;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return false;
  Bstr description;
  info->GetDescription(description.put());
  info->Release();
  if (description.str() != u"Range check error") return false;

  // Late bound through the object's IDispatch.
  ComPtr<IDispatch> dispatch;
  if (scale.As(dispatch, IID_IDispatch) != S_OK) return false;
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(L"Late text");
  const HRESULT put = Invoke(dispatch.get(), L"Text", DISPATCH_PROPERTYPUT, &value, nullptr);
  VariantClear(&value);
  if (put != S_OK) return false;
  VARIANT got;
  VariantInit(&got);
  if (Invoke(dispatch.get(), L"Text", DISPATCH_PROPERTYGET, nullptr, &got) != S_OK) return false;
  const bool text_ok = got.vt == VT_BSTR && std::wstring(got.bstrVal) == L"Late text";
  VariantClear(&got);
  if (!text_ok) return false;
  VariantInit(&got);
  if (Invoke(dispatch.get(), L"SetLock", DISPATCH_METHOD, nullptr, &got) != S_OK) return false;
  const bool code_ok = got.vt == VT_I4 && got.lVal == 1;
  VariantClear(&got);
  return code_ok;
}

TEST(WindowsSoak, CreateUseReleaseCycles) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  {
    Module module;
    ASSERT_TRUE(module.Loaded()) << "cannot load " << RD_SERVER_DLL;
    ASSERT_EQ(module.CanUnloadNow(), S_OK);

    int cycles = 100000;
    if (const char* text = std::getenv("RD_WINSOAK_CYCLES")) cycles = std::atoi(text);
    const int warm_up = cycles / 10;
    std::size_t heap_early = 0;
    std::size_t set_early = 0;
    int done = 0;
    for (int n = 0; n < cycles; ++n) {
      if (!Cycle(module, n)) break;
      if (n % 100 == 99 && module.CanUnloadNow() != S_OK) break;
      ++done;
      if (n + 1 == warm_up) {
        heap_early = HeapBytesInUse();
        set_early = WorkingSet();
      }
    }
    const std::size_t heap_late = HeapBytesInUse();
    const std::size_t set_late = WorkingSet();
    EXPECT_EQ(done, cycles) << "cycle " << done << " went wrong";
    EXPECT_EQ(module.CanUnloadNow(), S_OK) << "an object or lock outlived its cycle";
    auto kib = [](std::size_t bytes) { return static_cast<double>(bytes) / 1024.0; };
    std::printf(
        "winsoak: %d cycles; heap bytes in use %.1f KiB after %d cycles, %.1f KiB after "
        "%d; working set %.0f KiB, then %.0f KiB\n",
        done, kib(heap_early), warm_up, kib(heap_late), done, kib(set_early), kib(set_late));
    ASSERT_GT(heap_early, 0u);
    // Nothing is kept per cycle: 16 bytes a cycle would add hundreds of KiB.
    EXPECT_LT(kib(heap_late) - kib(heap_early), 64.0);
  }
  CoUninitialize();
}

}  // namespace
}  // namespace rd::test
