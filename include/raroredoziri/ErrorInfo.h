// Failure statuses and the error information a failed member leaves for the
// calling thread, and the member guard that every member of IScale runs under.
#pragma once

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "raroredoziri/Fault.h"

namespace rd {

// Statuses with their Windows values, so both platforms report the same.
inline constexpr std::int32_t kStatusOk = 0;
inline constexpr std::int32_t kStatusFalse = 1;
inline constexpr std::int32_t kStatusUnexpected = static_cast<std::int32_t>(0x8000FFFF);
inline constexpr std::int32_t kStatusPointer = static_cast<std::int32_t>(0x80004003);
inline constexpr std::int32_t kStatusFail = static_cast<std::int32_t>(0x80004005);
inline constexpr std::int32_t kStatusOutOfMemory = static_cast<std::int32_t>(0x8007000E);
inline constexpr std::int32_t kStatusTypeMismatch = static_cast<std::int32_t>(0x80020005);
inline constexpr std::int32_t kStatusUnknownName = static_cast<std::int32_t>(0x80020006);
inline constexpr std::int32_t kStatusMemberNotFound = static_cast<std::int32_t>(0x80020003);

struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::array<std::uint8_t, 8> data4;
  friend bool operator==(const Guid&, const Guid&) = default;
};

// {D18475CC-F1A1-4709-BE43-014B8C344447}: the IID of IScale, reported with
// every error.
inline constexpr Guid kErrorGuid{
    0xD18475CC, 0xF1A1, 0x4709, {0xBE, 0x43, 0x01, 0x4B, 0x8C, 0x34, 0x44, 0x47}};
inline constexpr const char16_t* kErrorSource = u"RaroreDoziri.Scale";

struct ErrorRecord {
  Guid guid{};
  std::u16string source;
  std::u16string description;
  std::int32_t help_context = 0;
};

// Sets the calling thread's error information from a fault and returns the
// failure status: E_UNEXPECTED, or a PlatformCallError's own failure status.
std::int32_t FaultToStatus(const Fault& fault) noexcept;

// Takes the calling thread's error information, as GetErrorInfo does: it is
// cleared by the call. Windows: the platform's error object; Linux: a
// per-thread record.
std::optional<ErrorRecord> TakeErrorInfo();

// Runs a member's body: S_OK when it ends normally (the thread's error
// information untouched), else the failure status with error information.
template <class Body>
std::int32_t Guarded(Body&& body) noexcept {
  try {
    body();
    return kStatusOk;
  } catch (const Fault& fault) {
    return FaultToStatus(fault);
  } catch (const std::bad_alloc&) {
    return FaultToStatus(Fault("Out of memory"));
  } catch (const std::exception& error) {
    return FaultToStatus(Fault(error.what()));
  } catch (...) {
    return FaultToStatus(Fault("Unexpected error"));
  }
}

}  // namespace rd
