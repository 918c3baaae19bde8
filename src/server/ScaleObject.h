// ScaleObject: the COM face of one TScale. It serves IScale (the members,
// each a call of the core under the member guard), IDispatch through the
// type library, IProvideClassInfo and ISupportErrorInfo, and can be
// aggregated: its own IUnknown never delegates, every other interface
// forwards QueryInterface, AddRef and Release to the outer unknown when there
// is one.
#pragma once

#include <windows.h>
// windows.h must come first.
#include <ocidl.h>
#include <ole2.h>

#include <cstddef>
#include <optional>
#include <string_view>

#include "RaroreDoziri_TLB.h"
#include "ServerModule.h"
#include "raroredoziri/ErrorInfo.h"
#include "raroredoziri/Scale.h"

namespace rd::server {

class ScaleClassObject;

class ScaleObject final : public IScale, public IProvideClassInfo, public ISupportErrorInfo {
 public:
  // Counts itself in the module's ObjectCount; the reference count starts
  // at 0. `outer` is not referenced.
  ScaleObject(ScaleClassObject& factory, IUnknown* outer);
  // Lowers the module's ObjectCount again, after its own data is gone.
  ~ScaleObject() = default;
  ScaleObject(const ScaleObject&) = delete;
  ScaleObject& operator=(const ScaleObject&) = delete;

  // The position of `iid` in the object's interface table (what its
  // QueryInterface answers), or nothing.
  static std::optional<std::size_t> FindInterface(REFIID iid) noexcept;

  HRESULT NonDelegatingQueryInterface(REFIID iid, void** out) noexcept;
  ULONG NonDelegatingAddRef() noexcept;
  ULONG NonDelegatingRelease() noexcept;
  LONG ReferenceCount() const noexcept { return InterlockedCompareExchange(&refs_, 0, 0); }

  // IUnknown of IScale, IProvideClassInfo and ISupportErrorInfo.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** out) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* arg_error) override;

  // IProvideClassInfo
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** out) override;
  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

  // IScale: one line per member, generated from the member list.
#define RD_WIDE_PROP(N, D)                                     \
  HRESULT STDMETHODCALLTYPE get_##N(BSTR* value) override {    \
    return GetText(value, [this] { return core_.get_##N(); }); \
  }                                                            \
  HRESULT STDMETHODCALLTYPE put_##N(BSTR value) override {     \
    return Guarded([&] { core_.put_##N(TextOf(value)); });     \
  }
#define RD_ANSI_PROP(N, D) RD_WIDE_PROP(N, D)
#define RD_I4_GET(N, D)                                         \
  HRESULT STDMETHODCALLTYPE get_##N(LONG* value) override {     \
    return GetValue(value, [this] { return core_.get_##N(); }); \
  }
#define RD_I4_PROP(N, D)                                   \
  RD_I4_GET(N, D)                                          \
  HRESULT STDMETHODCALLTYPE put_##N(LONG value) override { \
    return Guarded([&] { core_.put_##N(value); });         \
  }
#define RD_I1_GET(N, D)                                            \
  HRESULT STDMETHODCALLTYPE get_##N(signed char* value) override { \
    return GetValue(value, [this] { return core_.get_##N(); });    \
  }
#define RD_I1_PROP(N, D)                                          \
  RD_I1_GET(N, D)                                                 \
  HRESULT STDMETHODCALLTYPE put_##N(signed char value) override { \
    return Guarded([&] { core_.put_##N(value); });                \
  }
#define RD_METHOD(N, D)                                   \
  HRESULT STDMETHODCALLTYPE N(LONG* value) override {     \
    return GetValue(value, [this] { return core_.N(); }); \
  }
#include "raroredoziri/Members.inc"
#undef RD_WIDE_PROP
#undef RD_ANSI_PROP
#undef RD_I4_PROP
#undef RD_I4_GET
#undef RD_I1_PROP
#undef RD_I1_GET
#undef RD_METHOD

 private:
  // The object's own IUnknown: never delegates.
  class Inner final : public IUnknown {
   public:
    explicit Inner(ScaleObject& self) : self_(self) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
      return self_.NonDelegatingQueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return self_.NonDelegatingAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return self_.NonDelegatingRelease(); }

   private:
    ScaleObject& self_;
  };

  struct InterfaceEntry {
    const IID* iid;
    IUnknown* (*place)(ScaleObject& object);
  };
  static const InterfaceEntry kInterfaces[];

  // A null out-pointer is a failure inside the guard, so it comes back as the
  // failure status with error information and nothing is run.
  static void RequireOut(const void* out);
  static std::u16string_view TextOf(BSTR value) noexcept;
  static BSTR NewText(const std::u16string& text);

  // Gets and methods: the body's value is written only when it succeeds.
  template <class T, class Body>
  HRESULT GetValue(T* out, Body body) noexcept {
    return Guarded([&] {
      RequireOut(out);
      *out = body();
    });
  }
  // Wide-string gets: the out-parameter is nulled before anything else.
  template <class Body>
  HRESULT GetText(BSTR* out, Body body) noexcept {
    if (out) *out = nullptr;
    return Guarded([&] {
      RequireOut(out);
      *out = NewText(body());
    });
  }

  // Counts the object in the module's ObjectCount. Declared first, so it is
  // let go last: once the count says no object is left, none of the object's
  // own data is still being released.
  class Counted {
   public:
    explicit Counted(ServerModule& module) noexcept : module_(module) {
      module_.IncrementObjectCount();
    }
    ~Counted() { module_.DecrementObjectCount(); }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

   private:
    ServerModule& module_;
  };

  Counted counted_;
  Inner inner_{*this};
  mutable LONG refs_ = 0;
  IUnknown* outer_;
  ScaleClassObject& factory_;
  TScale core_;
};

}  // namespace rd::server
