#include "ServerModule.h"

#include <memory>

#include "ClassFactory.h"
#include "ModulePath.h"
#include "object/ComPtr.h"
#include "raroredoziri/Fault.h"

namespace rd::server {

// ---- ClassList ----------------------------------------------------------

ClassList& ClassList::Instance() noexcept {
  static ClassList list;
  return list;
}

void ClassList::Add(ClassObject* object) {
  std::unique_ptr<ClassObject> owned(object);
  Exclusive hold(lock_);
  entries_.push_back(owned.get());
  owned.release();
}

HRESULT ClassList::GetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  AcquireSRWLockShared(&lock_);
  ClassObject* found = nullptr;
  for (ClassObject* object : entries_) {
    if (IsEqualGUID(object->Clsid(), clsid)) {
      found = object;
      break;
    }
  }
  HRESULT status = CLASS_E_CLASSNOTAVAILABLE;
  if (found) {
    status = found->QueryInterface(iid, out);
  } else if (out) {
    *out = nullptr;
  }
  ReleaseSRWLockShared(&lock_);
  return status;
}

std::vector<ClassObject*> ClassList::RemoveAll(const ServerModule& module) {
  Exclusive hold(lock_);
  std::vector<ClassObject*> removed;
  for (ClassObject* object : entries_) {
    if (&object->Module() == &module) removed.push_back(object);
  }
  std::erase_if(entries_, [&](ClassObject* object) { return &object->Module() == &module; });
  return removed;
}

// ---- ServerModule -------------------------------------------------------

ServerModule::~ServerModule() { ShutDown(); }

void ServerModule::ShutDown() {
  for (ClassObject* object : ClassList::Instance().RemoveAll(*this)) delete object;
  if (ITypeLib* lib = type_lib_.exchange(nullptr)) lib->Release();
  if (automation_runtime_) FreeLibrary(std::exchange(automation_runtime_, nullptr));
}

void ServerModule::StartUp() {
  if (!automation_runtime_) {
    const UINT old_mode = SetErrorMode(SEM_NOOPENFILEERRORBOX);
    automation_runtime_ = LoadLibraryA("OLEAUT32.DLL");
    SetErrorMode(old_mode);
  }
  bool present = false;
  ClassList::Instance().ForEachOf(*this, [&](ClassObject&) { present = true; });
  if (!present) ClassList::Instance().Add(new ScaleClassObject(*this));
}

ITypeLib* ServerModule::TypeLib() {
  if (ITypeLib* lib = type_lib_.load()) return lib;
  const std::wstring path =
      type_lib_path_.empty() ? WithinMaxPath(ModuleFileName(instance_)) : type_lib_path_;
  ITypeLib* loaded = nullptr;
  CheckStatus(LoadTypeLib(path.c_str(), &loaded));
  ITypeLib* expected = nullptr;
  if (type_lib_.compare_exchange_strong(expected, loaded)) return loaded;
  // Another thread published its copy first: use that one.
  loaded->Release();
  return expected;
}

std::string ServerModule::TypeLibName() {
  Bstr name;
  CheckStatus(TypeLib()->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr));
  return ToAnsi(name.get());
}

// ---- Text ---------------------------------------------------------------

std::string ToAnsi(const wchar_t* text) {
  if (!text || !*text) return {};
  const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(size) - 1);
  return out;
}

std::wstring ToWide(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

// ---- Attributes ---------------------------------------------------------

TypeAttr::TypeAttr(ITypeInfo* info) : info_(info) { CheckStatus(info_->GetTypeAttr(&attr_)); }

LibAttr::LibAttr(ITypeLib* lib) : lib_(lib) { CheckStatus(lib_->GetLibAttr(&attr_)); }

}  // namespace rd::server
