// The process-wide state of the loaded server: its counters, its type
// library, the load reference on the automation runtime, and the list of its
// class objects.
#pragma once

#include <windows.h>
// windows.h must come first.
#include <ole2.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace rd::server {

class ServerModule;

// A class object of the module as the class list knows it.
class ClassObject : public IClassFactory {
 public:
  virtual ~ClassObject() = default;
  virtual const CLSID& Clsid() const noexcept = 0;
  virtual ServerModule& Module() const noexcept = 0;
  // Writes (flag set) or removes (flag clear) the class's registry entries.
  // Raises Fault.
  virtual void UpdateRegistration(bool register_flag) = 0;
};

// The process-wide list of class objects, guarded by a reader/writer lock.
// Look-ups take the read side; adding, removing and walking take the write
// side. Nothing that runs under the write side calls back into the list, so
// the lock is never taken twice by one thread: removal hands the class objects
// over and they are destroyed after the lock is let go.
class ClassList {
 public:
  static ClassList& Instance() noexcept;

  // Takes ownership.
  void Add(ClassObject* object);
  // QueryInterface of the class object registered for `clsid`, under the
  // read side. CLASS_E_CLASSNOTAVAILABLE (out-pointer null) when none is.
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out);
  // Calls `fn` for every class object of `module`, under the write side.
  template <class Fn>
  void ForEachOf(const ServerModule& module, Fn&& fn);
  // Takes the class objects of `module` out of the list; the caller destroys
  // them.
  std::vector<ClassObject*> RemoveAll(const ServerModule& module);

 private:
  class Exclusive {
   public:
    explicit Exclusive(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Exclusive() { ReleaseSRWLockExclusive(&lock_); }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

   private:
    SRWLOCK& lock_;
  };

  SRWLOCK lock_ = SRWLOCK_INIT;
  std::vector<ClassObject*> entries_;
};

class ServerModule {
 public:
  explicit ServerModule(HMODULE instance) noexcept : instance_(instance) {}
  // A module whose type library is read from `type_lib_path` instead of the
  // module's own file (tests bind class objects to other libraries).
  ServerModule(HMODULE instance, std::wstring type_lib_path)
      : instance_(instance), type_lib_path_(std::move(type_lib_path)) {}
  // Runs ShutDown.
  ~ServerModule();
  ServerModule(const ServerModule&) = delete;
  ServerModule& operator=(const ServerModule&) = delete;

  // Takes the load reference on "OLEAUT32.DLL" and creates the class object,
  // which binds itself to the type library. Raises Fault; after a failure
  // nothing is added and it may be run again.
  void StartUp();
  // Destroys the class objects of this module, releases the type library and
  // the load reference on the automation runtime; StartUp may follow again.
  // Calls into COM and FreeLibrary: never under the loader lock.
  void ShutDown();
  // Something that ShutDown releases is held.
  bool Holds() const noexcept { return automation_runtime_ || type_lib_.load(); }

  HMODULE Instance() const noexcept { return instance_; }

  // Live Scale objects plus LockServer locks; references on class objects.
  LONG ObjectCount() const noexcept { return InterlockedCompareExchange(&object_count_, 0, 0); }
  LONG ClassRefCount() const noexcept {
    return InterlockedCompareExchange(&class_ref_count_, 0, 0);
  }
  LONG IncrementObjectCount() noexcept { return InterlockedIncrement(&object_count_); }
  LONG DecrementObjectCount() noexcept { return InterlockedDecrement(&object_count_); }
  LONG IncrementClassRefCount() noexcept { return InterlockedIncrement(&class_ref_count_); }
  LONG DecrementClassRefCount() noexcept { return InterlockedDecrement(&class_ref_count_); }
  // S_OK when both counters are zero, S_FALSE otherwise (negative included).
  HRESULT CanUnloadNow() const noexcept {
    return ObjectCount() == 0 && ClassRefCount() == 0 ? S_OK : S_FALSE;
  }

  // The type library built into the module, loaded from the module's own
  // file on first use. Raises PlatformCallError.
  ITypeLib* TypeLib();
  // The library's own name ("RaroreDoziri"). Raises PlatformCallError.
  std::string TypeLibName();

 private:
  HMODULE instance_;
  std::wstring type_lib_path_;
  HMODULE automation_runtime_ = nullptr;
  mutable LONG object_count_ = 0;
  mutable LONG class_ref_count_ = 0;
  std::atomic<ITypeLib*> type_lib_{nullptr};
};

template <class Fn>
void ClassList::ForEachOf(const ServerModule& module, Fn&& fn) {
  Exclusive hold(lock_);
  for (ClassObject* object : entries_) {
    if (&object->Module() == &module) fn(*object);
  }
}

// 8-bit text in the system's ANSI code page, and back.
std::string ToAnsi(const wchar_t* text);
std::wstring ToWide(const std::string& text);

// Releases type and library attributes when they go out of scope.
class TypeAttr {
 public:
  explicit TypeAttr(ITypeInfo* info);  // raises PlatformCallError
  ~TypeAttr() { info_->ReleaseTypeAttr(attr_); }
  TypeAttr(const TypeAttr&) = delete;
  TypeAttr& operator=(const TypeAttr&) = delete;
  const TYPEATTR* operator->() const noexcept { return attr_; }

 private:
  ITypeInfo* info_;
  TYPEATTR* attr_ = nullptr;
};

class LibAttr {
 public:
  explicit LibAttr(ITypeLib* lib);  // raises PlatformCallError
  ~LibAttr() { lib_->ReleaseTLibAttr(attr_); }
  LibAttr(const LibAttr&) = delete;
  LibAttr& operator=(const LibAttr&) = delete;
  const TLIBATTR* operator->() const noexcept { return attr_; }

 private:
  ITypeLib* lib_;
  TLIBATTR* attr_ = nullptr;
};

}  // namespace rd::server
