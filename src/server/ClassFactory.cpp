#include "ClassFactory.h"

#include <new>

#include "RaroreDoziri_TLB.h"
#include "Registration.h"
#include "ScaleObject.h"
#include "raroredoziri/Fault.h"

namespace rd::server {
namespace {

// The binding faults end with the implementing class name.
[[noreturn]] void RaiseBindingFault(const char* text) {
  throw Fault(std::string(text) + " " + kImplementationName);
}

void ShowConstructionFault(const std::string& text) {
  // No owner window; OK button, stop icon, brought to the foreground.
  MessageBoxA(nullptr, ConstructionFaultText(text).c_str(), "VUD Error", 0x00010010);
}

}  // namespace

std::string ConstructionFaultText(std::string text) {
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') text += '.';
  return text;
}

ScaleClassObject::ScaleClassObject(ServerModule& module) : module_(module) {
  ITypeLib* lib = module_.TypeLib();
  if (FAILED(lib->GetTypeInfoOfGuid(CLSID_Scale, class_type_info_.put()))) {
    RaiseBindingFault("Type information missing for class");
  }
  Bstr name, doc;
  CheckStatus(
      class_type_info_->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), nullptr, nullptr));
  class_name_ = ToAnsi(name.get());
  description_ = ToAnsi(doc.get());

  // The default interface: the first implemented type marked default and not
  // source.
  WORD implemented = 0;
  {
    const TypeAttr attr(class_type_info_.get());
    implemented = attr->cImplTypes;
  }
  for (UINT index = 0; index < implemented && !dispatch_type_info_; ++index) {
    INT flags = 0;
    CheckStatus(class_type_info_->GetImplTypeFlags(index, &flags));
    if ((flags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) != IMPLTYPEFLAG_FDEFAULT) continue;
    HREFTYPE ref = 0;
    CheckStatus(class_type_info_->GetRefTypeOfImplType(index, &ref));
    CheckStatus(class_type_info_->GetRefTypeInfo(ref, dispatch_type_info_.put()));
  }
  if (!dispatch_type_info_) RaiseBindingFault("Incorrect type information for class");

  GUID dispatch_iid{};
  {
    const TypeAttr attr(dispatch_type_info_.get());
    dispatch_iid = attr->guid;
  }
  const auto place = ScaleObject::FindInterface(dispatch_iid);
  if (!place) RaiseBindingFault("Dispatch interface missing from class");
  dispatch_interface_ = *place;
  error_guid_ = dispatch_iid;
  // The coclass has no event (default source) interface, so no connection
  // points are bound.

  prog_id_ = module_.TypeLibName() + "." + class_name_;
}

const CLSID& ScaleClassObject::Clsid() const noexcept { return CLSID_Scale; }

HRESULT ScaleClassObject::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG ScaleClassObject::AddRef() { return static_cast<ULONG>(module_.IncrementClassRefCount()); }

ULONG ScaleClassObject::Release() { return static_cast<ULONG>(module_.DecrementClassRefCount()); }

HRESULT ScaleClassObject::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  ScaleObject* object = nullptr;
  try {
    object = new ScaleObject(*this, outer);
  } catch (const Fault& fault) {
    ShowConstructionFault(fault.Text());
    return E_UNEXPECTED;
  } catch (const std::bad_alloc&) {
    ShowConstructionFault("Out of memory");
    return E_UNEXPECTED;
  }
  const HRESULT status = object->NonDelegatingQueryInterface(iid, out);
  // Not handed out (the interface is not supported): nobody else has it.
  if (object->ReferenceCount() == 0) delete object;
  return status;
}

HRESULT ScaleClassObject::LockServer(BOOL lock) {
  const HRESULT status = CoLockObjectExternal(static_cast<IClassFactory*>(this), lock, TRUE);
  // A lock or unlock that the runtime refused changed nothing.
  if (FAILED(status)) return status;
  if (lock) {
    module_.IncrementObjectCount();
  } else {
    module_.DecrementObjectCount();
  }
  return status;
}

void ScaleClassObject::UpdateRegistration(bool register_flag) {
  const ClassRegistration entry{Clsid(), ToWide(description_), ToWide(prog_id_)};
  if (register_flag) {
    WriteClassKeys(entry, module_);
  } else {
    RemoveClassKeys(entry);
  }
}

}  // namespace rd::server
