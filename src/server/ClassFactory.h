// ScaleClassObject: the one class object of the module. It makes Scale
// objects, counts its references in the module's ClassRefCount (it has no
// count of its own and is never destroyed by Release), and holds the binding
// to the type library that every Scale object uses.
#pragma once

#include <cstddef>
#include <string>

#include "ServerModule.h"
#include "object/ComPtr.h"

namespace rd::server {

class ScaleClassObject final : public ClassObject {
 public:
  // Binds to the module's type library. Raises Fault with "Type information
  // missing for class TScale", "Incorrect type information for class TScale"
  // or "Dispatch interface missing from class TScale", or PlatformCallError.
  explicit ScaleClassObject(ServerModule& module);

  // IUnknown: AddRef and Release change the module's ClassRefCount.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IClassFactory
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  // ClassObject
  const CLSID& Clsid() const noexcept override;
  ServerModule& Module() const noexcept override { return module_; }
  void UpdateRegistration(bool register_flag) override;

  ITypeInfo* ClassTypeInfo() const noexcept { return class_type_info_.get(); }
  ITypeInfo* DispatchTypeInfo() const noexcept { return dispatch_type_info_.get(); }
  // Position of the dispatch interface in the Scale object's interface table.
  std::size_t DispatchInterface() const noexcept { return dispatch_interface_; }
  const GUID& ErrorGuid() const noexcept { return error_guid_; }
  const std::string& ClassName() const noexcept { return class_name_; }
  const std::string& Description() const noexcept { return description_; }
  const std::string& ProgId() const noexcept { return prog_id_; }

 private:
  ServerModule& module_;
  ComPtr<ITypeInfo> class_type_info_;
  ComPtr<ITypeInfo> dispatch_type_info_;
  std::size_t dispatch_interface_ = 0;
  GUID error_guid_{};
  std::string class_name_;
  std::string description_;
  std::string prog_id_;
};

// The implementing class name that the binding faults name.
inline constexpr const char* kImplementationName = "TScale";

// The message of the "VUD Error" box shown when constructing an object
// fails: the fault text, with "." appended when its last character comes
// after "." in the code table.
std::string ConstructionFaultText(std::string text);

}  // namespace rd::server
