// The fourteen configuration commands: body assembly and SendCommand.
#include "object/ConnectionString.h"
#include "protocol/Exchange.h"
#include "protocol/Replies.h"
#include "raroredoziri/Text.h"

namespace rd {
namespace {

constexpr std::uint8_t kFill = 0x20;

// A wide-text field of `width` bytes: the first `width` code units, each
// converted on its own. A code unit whose bytes would not fit whole ends the
// text, so a multi-byte code page never shifts the fields behind it and never
// leaves half a character; spaces fill the rest.
void AppendWideField(Bytes& body, std::u16string_view text, std::size_t width) {
  std::size_t used = 0;
  for (std::size_t i = 0; i < text.size() && i < width; ++i) {
    const std::string bytes = WideUnitToAnsi(text[i]);
    if (used + bytes.size() > width) break;
    body.insert(body.end(), bytes.begin(), bytes.end());
    used += bytes.size();
  }
  body.insert(body.end(), width - used, kFill);
}

// An 8-bit-text field of `width` bytes: its first `width` bytes, then spaces.
void AppendAnsiField(Bytes& body, std::string_view text, std::size_t width) {
  const std::size_t used = text.size() < width ? text.size() : width;
  body.insert(body.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(used));
  body.insert(body.end(), width - used, kFill);
}

}  // namespace

Bytes TScale::CommandBody(std::uint8_t code) const {
  Bytes body{code};
  switch (code) {
    case 0xA2:
      AppendWideField(body, Goods, 15);
      break;
    case 0xA3: {
      const auto bits = static_cast<std::uint32_t>(Tare);
      for (int shift = 0; shift < 32; shift += 8) {
        body.push_back(static_cast<std::uint8_t>(bits >> shift));
      }
      break;
    }
    case 0xA4:
      AppendAnsiField(body, LabelFormat, 5);
      break;
    case 0xA5:
      AppendAnsiField(body, LabelFormatZ, 5);
      break;
    case 0xA6:
      body.push_back(Tape);
      break;
    case 0xA7:
      body.push_back(Underwinder);
      break;
    case 0xA8:
      body.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(Operation) & 0xFF));
      AppendWideField(body, RegistratorStore, 9);
      AppendWideField(body, Agent, 9);
      break;
    case 0xA9:
      AppendWideField(body, Operator, 9);
      break;
    case 0xAA:
      AppendAnsiField(body, Text, 24);
      break;
    case 0xAB:
      for (const std::string* button :
           {&GoodsButton1, &GoodsButton2, &GoodsButton3, &GoodsButton4, &GoodsButton5,
            &GoodsButton6, &GoodsButton7, &GoodsButton8}) {
        AppendAnsiField(body, *button, 15);
      }
      break;
    case 0xAC:
      body.insert(body.end(),
                  {Lock1, Lock2, Lock3, Lock4, Lock5, Lock6, Lock7, Lock8, Lock9, Lock10});
      break;
    case 0xAD:
      body.insert(body.end(),
                  {OptionMoreLabels, OptionPacking, OptionAutoResetGoods, OptionAutoRegistration,
                   OptionDocument, OptionMultiple, OptionFreePrice});
      break;
    case 0xAE:
      body.push_back(FindGoods);
      break;
    case 0xAF:
      body.push_back(Screen);
      break;
    default:
      throw Fault("Unknown command code");
  }
  return body;
}

std::int32_t TScale::SendCommand(std::uint8_t code) {
  if (Connection.empty()) return kResultNoConnection;
  const Bytes body = CommandBody(code);
  const Channel channel = ChannelOf(Connection);
  if (channel == Channel::None) return kResultNoConnection;
  if (channel == Channel::Serial) {
    if (ProtocolKind == kProtocolLegacy) return kResultLegacy;
    // No probe has succeeded on this object: nothing is sent, and saying
    // "accepted" would be a lie.
    if (ProtocolKind != kProtocolFramed) return kResultNoConnection;
  }
  const transport::ChannelTurn turn(LockOf(Channels(), channel));
  if (!turn.Taken()) return kResultNoReply;
  Bytes reply;
  const std::int32_t result = FramedExchange(Channels(), channel, body, kAckLength, reply);
  return result == kResultDone ? JudgeAcknowledgement(reply) : result;
}

}  // namespace rd
