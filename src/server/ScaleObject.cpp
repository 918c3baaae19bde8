#include "ScaleObject.h"

#include <new>

#include "ClassFactory.h"

namespace rd::server {

const ScaleObject::InterfaceEntry ScaleObject::kInterfaces[] = {
    {&IID_IScale, [](ScaleObject& o) -> IUnknown* { return static_cast<IScale*>(&o); }},
    {&IID_IDispatch, [](ScaleObject& o) -> IUnknown* { return static_cast<IScale*>(&o); }},
    {&IID_IProvideClassInfo,
     [](ScaleObject& o) -> IUnknown* { return static_cast<IProvideClassInfo*>(&o); }},
    {&IID_ISupportErrorInfo,
     [](ScaleObject& o) -> IUnknown* { return static_cast<ISupportErrorInfo*>(&o); }},
    {&IID_IUnknown, [](ScaleObject& o) -> IUnknown* { return &o.inner_; }},
};

ScaleObject::ScaleObject(ScaleClassObject& factory, IUnknown* outer)
    : counted_(factory.Module()), outer_(outer), factory_(factory) {}

std::optional<std::size_t> ScaleObject::FindInterface(REFIID iid) noexcept {
  for (std::size_t i = 0; i < std::size(kInterfaces); ++i) {
    if (IsEqualIID(*kInterfaces[i].iid, iid)) return i;
  }
  return std::nullopt;
}

// ---- IUnknown -------------------------------------------------------------

HRESULT ScaleObject::NonDelegatingQueryInterface(REFIID iid, void** out) noexcept {
  if (!out) return E_POINTER;
  if (const auto place = FindInterface(iid)) {
    IUnknown* found = kInterfaces[*place].place(*this);
    found->AddRef();
    *out = found;
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG ScaleObject::NonDelegatingAddRef() noexcept {
  return static_cast<ULONG>(InterlockedIncrement(&refs_));
}

ULONG ScaleObject::NonDelegatingRelease() noexcept {
  const LONG count = InterlockedDecrement(&refs_);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

HRESULT ScaleObject::QueryInterface(REFIID iid, void** out) {
  return outer_ ? outer_->QueryInterface(iid, out) : NonDelegatingQueryInterface(iid, out);
}

ULONG ScaleObject::AddRef() { return outer_ ? outer_->AddRef() : NonDelegatingAddRef(); }

ULONG ScaleObject::Release() { return outer_ ? outer_->Release() : NonDelegatingRelease(); }

// ---- IDispatch ------------------------------------------------------------

HRESULT ScaleObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT ScaleObject::GetTypeInfo(UINT index, LCID, ITypeInfo** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  ITypeInfo* info = factory_.DispatchTypeInfo();
  info->AddRef();
  *out = info;
  return S_OK;
}

HRESULT ScaleObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  return DispGetIDsOfNames(factory_.DispatchTypeInfo(), names, count, ids);
}

HRESULT ScaleObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                            VARIANT* result, EXCEPINFO* exception, UINT* arg_error) {
  // A property put may arrive as put or as put-by-reference; the type
  // library knows the member by its put.
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    flags = DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;
  }
  IUnknown* instance = kInterfaces[factory_.DispatchInterface()].place(*this);
  return factory_.DispatchTypeInfo()->Invoke(instance, id, flags, params, result, exception,
                                             arg_error);
}

// ---- IProvideClassInfo, ISupportErrorInfo ---------------------------------

HRESULT ScaleObject::GetClassInfo(ITypeInfo** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  ITypeInfo* info = factory_.ClassTypeInfo();
  info->AddRef();
  *out = info;
  return S_OK;
}

HRESULT ScaleObject::InterfaceSupportsErrorInfo(REFIID iid) {
  return FindInterface(iid) ? S_OK : S_FALSE;
}

// ---- Member helpers -------------------------------------------------------

void ScaleObject::RequireOut(const void* out) {
  if (!out) throw Fault("Invalid pointer");
}

std::u16string_view ScaleObject::TextOf(BSTR value) noexcept {
  if (!value) return {};
  return {reinterpret_cast<const char16_t*>(value), SysStringLen(value)};
}

BSTR ScaleObject::NewText(const std::u16string& text) {
  BSTR out = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                               static_cast<UINT>(text.size()));
  if (!out) throw std::bad_alloc();
  return out;
}

}  // namespace rd::server
