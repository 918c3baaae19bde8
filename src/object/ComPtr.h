// RAII owners for COM interface pointers and automation strings (Windows).
#pragma once

#include <windows.h>
// windows.h must come first.
#include <oleauto.h>

#include <string>
#include <string_view>
#include <utility>

namespace rd {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  explicit ComPtr(T* p, bool add_ref = true) : p_(p) {
    if (p_ && add_ref) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : p_(other.p_) {
    if (p_) p_->AddRef();
  }
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~ComPtr() { reset(); }

  void reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Address for an out-parameter; releases what was held.
  T** put() noexcept {
    reset();
    return &p_;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
  T* get() const noexcept { return p_; }
  T* detach() noexcept { return std::exchange(p_, nullptr); }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  template <class U>
  HRESULT As(ComPtr<U>& out, REFIID iid) const {
    return p_ ? p_->QueryInterface(iid, out.put_void()) : E_POINTER;
  }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::u16string_view text)
      : s_(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                             static_cast<UINT>(text.size()))) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  Bstr(Bstr&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
  Bstr& operator=(Bstr&& other) noexcept {
    std::swap(s_, other.s_);
    return *this;
  }
  ~Bstr() { SysFreeString(s_); }

  BSTR* put() noexcept {
    SysFreeString(std::exchange(s_, nullptr));
    return &s_;
  }
  BSTR get() const noexcept { return s_; }
  BSTR release() noexcept { return std::exchange(s_, nullptr); }
  std::u16string str() const {
    return s_ ? std::u16string(reinterpret_cast<const char16_t*>(s_), SysStringLen(s_))
              : std::u16string();
  }

 private:
  BSTR s_ = nullptr;
};

}  // namespace rd
