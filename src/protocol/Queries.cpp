// ReadWeight and ReadTare. Fields change only when a complete reply came,
// all of them from that one reply.
#include "object/ConnectionString.h"
#include "protocol/Exchange.h"
#include "protocol/Replies.h"
#include "raroredoziri/Transport.h"

namespace rd {

std::int32_t TScale::ReadWeight() {
  const Channel channel = ChannelOf(Connection);
  if (channel == Channel::None) return kResultNoConnection;
  const transport::ChannelTurn turn(LockOf(Channels(), channel));
  if (!turn.Taken()) return kResultNoReply;
  if (channel == Channel::Serial && ProtocolKind == kProtocolLegacy) {
    Bytes reply;
    // Anything but exactly five bytes is no reply: a longer one is as
    // untrustworthy as a short one.
    if (!Channels().serial.Request(Bytes{kLegacyWeightRequest},
                                   static_cast<std::int32_t>(kLegacyWeightReplyLength), reply) ||
        reply.size() != kLegacyWeightReplyLength) {
      return kResultNoReply;
    }
    ParseLegacyWeightReply(*this, reply);
    return kResultDone;
  }
  // A serial port on which no probe of this object has succeeded is not a
  // usable connection: nothing is sent.
  if (channel == Channel::Serial && ProtocolKind != kProtocolFramed) return kResultNoConnection;
  Bytes reply;
  const std::int32_t result =
      FramedExchange(Channels(), channel, Bytes{kWeightRequestCode}, kWeightReplyLength, reply);
  if (result == kResultDone) ParseWeightReply(*this, reply);
  return result;
}

std::int32_t TScale::ReadTare() {
  const Channel channel = ChannelOf(Connection);
  if (channel == Channel::None) return kResultNoConnection;
  if (channel == Channel::Serial && ProtocolKind == kProtocolLegacy) {
    // The legacy protocol has no tare request.
    Tare = 0;
    Division = 0;
    return kResultLegacy;
  }
  if (channel == Channel::Serial && ProtocolKind != kProtocolFramed) return kResultNoConnection;
  const transport::ChannelTurn turn(LockOf(Channels(), channel));
  if (!turn.Taken()) return kResultNoReply;
  Bytes reply;
  const std::int32_t result =
      FramedExchange(Channels(), channel, Bytes{kTareRequestCode}, kTareReplyLength, reply);
  if (result == kResultDone) ParseTareReply(*this, reply);
  return result;
}

}  // namespace rd
