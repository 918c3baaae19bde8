// TScale: the Scale object's fields, property accessors and methods.
//
// The accessors raise rd::Fault on range errors; the methods return their
// result code (0 done, 1 no usable connection, 2 no complete reply, 4 not
// available with the legacy variant, 5 refused by the scale). Host-facing
// code calls them through the member guard (Members.h, the COM server), which
// turns an escaped fault into a failure status with error information.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "raroredoziri/Bytes.h"
#include "raroredoziri/Fault.h"
#include "raroredoziri/Text.h"

namespace rd {

// The serial and TCP channel a Scale object talks over: the process-wide
// pair unless the object belongs to a ScaleLink (ScaleLink.h).
struct LinkChannels;

// Result codes of the methods.
inline constexpr std::int32_t kResultDone = 0;
inline constexpr std::int32_t kResultNoConnection = 1;
inline constexpr std::int32_t kResultNoReply = 2;
inline constexpr std::int32_t kResultLegacy = 4;
inline constexpr std::int32_t kResultRefused = 5;

inline constexpr std::string_view kProtocolLegacy = "2";
inline constexpr std::string_view kProtocolFramed = "New";

class TScale {
 public:
  // Fields, in their fixed order. Wide text is UTF-16 as the host passed it;
  // 8-bit text is bytes in the code page (Text.h).
  std::string ProtocolKind;
  std::u16string Connection;
  std::int32_t Weight = 0;
  std::int32_t Tare = 0;
  std::int32_t Division = 0;
  std::uint8_t Stable = 0;
  std::uint8_t Screen = 0;
  std::int32_t Operation = 0;
  std::u16string Goods;
  std::u16string Operator;
  std::u16string RegistratorStore;
  std::u16string Agent;
  std::string GoodsButton1, GoodsButton2, GoodsButton3, GoodsButton4;
  std::string GoodsButton5, GoodsButton6, GoodsButton7, GoodsButton8;
  std::uint8_t Tape = 0;
  std::uint8_t Underwinder = 0;
  std::string LabelFormat;
  std::string LabelFormatZ;
  std::string Text;
  std::uint8_t Lock1 = 0, Lock2 = 0, Lock3 = 0, Lock4 = 0, Lock5 = 0;
  std::uint8_t Lock6 = 0, Lock7 = 0, Lock8 = 0, Lock9 = 0, Lock10 = 0;
  std::uint8_t OptionMoreLabels = 0;
  std::uint8_t OptionPacking = 0;
  std::uint8_t OptionAutoResetGoods = 0;
  std::uint8_t OptionAutoRegistration = 0;
  std::uint8_t OptionDocument = 0;
  std::uint8_t OptionMultiple = 0;
  std::uint8_t OptionFreePrice = 0;
  std::uint8_t FindGoods = 0;

  // Accessors: get_Name / put_Name for every property, in member order.
#define RD_WIDE_PROP(N, D)                     \
  std::u16string get_##N() const { return N; } \
  void put_##N(std::u16string_view value) { N.assign(value); }
#define RD_ANSI_PROP(N, D)                                 \
  std::u16string get_##N() const { return AnsiToWide(N); } \
  void put_##N(std::u16string_view value) { N = WideToAnsi(value); }
#define RD_I4_PROP(N, D)                     \
  std::int32_t get_##N() const { return N; } \
  void put_##N(std::int32_t value) { N = value; }
#define RD_I4_GET(N, D) \
  std::int32_t get_##N() const { return N; }
#define RD_I1_PROP(N, D)                             \
  std::int8_t get_##N() const { return ByteOut(N); } \
  void put_##N(std::int8_t value) { N = ByteIn(value); }
#define RD_I1_GET(N, D) \
  std::int8_t get_##N() const { return ByteOut(N); }
#define RD_METHOD(N, D)
#include "raroredoziri/Members.inc"
#undef RD_WIDE_PROP
#undef RD_ANSI_PROP
#undef RD_I4_PROP
#undef RD_I4_GET
#undef RD_I1_PROP
#undef RD_I1_GET
#undef RD_METHOD

  // Connection management.
  std::int32_t OpenConnection();
  std::int32_t CloseConnection();
  // Weight and tare queries.
  std::int32_t ReadWeight();
  std::int32_t ReadTare();
  // Configuration commands: each sends one command with SendCommand.
  std::int32_t SetGoods() { return SendCommand(0xA2); }
  std::int32_t SetTare() { return SendCommand(0xA3); }
  std::int32_t SetLabelFormat() { return SendCommand(0xA4); }
  std::int32_t SetLabelFormatZ() { return SendCommand(0xA5); }
  std::int32_t SetTape() { return SendCommand(0xA6); }
  std::int32_t SetUnderwinder() { return SendCommand(0xA7); }
  std::int32_t SetMode() { return SendCommand(0xA8); }
  std::int32_t SetOperator() { return SendCommand(0xA9); }
  std::int32_t SetText() { return SendCommand(0xAA); }
  std::int32_t SetGoodsButton() { return SendCommand(0xAB); }
  std::int32_t SetLock() { return SendCommand(0xAC); }
  std::int32_t SetOptions() { return SendCommand(0xAD); }
  std::int32_t SetFindGoods() { return SendCommand(0xAE); }
  std::int32_t SetScreen() { return SendCommand(0xAF); }

  // Builds the body of configuration command `code` (0xA2..0xAF) from the
  // current fields. Another code raises a fault.
  Bytes CommandBody(std::uint8_t code) const;
  std::int32_t SendCommand(std::uint8_t code);

 private:
  friend class ScaleLink;
  LinkChannels& Channels() const;

  LinkChannels* channels_ = nullptr;  // null: the process-wide channels

  static std::int8_t ByteOut(std::uint8_t field) {
    if (field > 127) RaiseRangeError();
    return static_cast<std::int8_t>(field);
  }
  static std::uint8_t ByteIn(std::int8_t value) {
    if (value < 0) RaiseRangeError();
    return static_cast<std::uint8_t>(value);
  }
};

}  // namespace rd
