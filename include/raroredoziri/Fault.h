// Faults: the errors this library raises inside. They never cross the
// component boundary; the member guard turns them into a failure status.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace rd {

// A raised error: 8-bit text and a help context.
class Fault : public std::exception {
 public:
  explicit Fault(std::string text, std::int32_t help_context = 0)
      : text_(std::move(text)), help_context_(help_context) {}
  const char* what() const noexcept override { return text_.c_str(); }
  const std::string& Text() const noexcept { return text_; }
  std::int32_t HelpContext() const noexcept { return help_context_; }

 private:
  std::string text_;
  std::int32_t help_context_;
};

// A platform call that had to succeed returned a failure status.
class PlatformCallError : public Fault {
 public:
  explicit PlatformCallError(std::int32_t status);
  std::int32_t Status() const noexcept { return status_; }

 private:
  std::int32_t status_;
};

// Returns for a success status (zero or positive); raises PlatformCallError
// for a failure status (negative).
void CheckStatus(std::int32_t status);

// The system's message text for a status; "OLE error %.8x" when it has none.
std::string StatusMessage(std::int32_t status);

inline constexpr const char* kRangeCheckError = "Range check error";
inline constexpr const char* kIntegerOverflow = "Integer overflow";

[[noreturn]] void RaiseRangeError();
[[noreturn]] void RaiseIntegerOverflow();

}  // namespace rd
