// OpenConnection and CloseConnection: choose the channel from the connection
// string, open or close it, and on the serial line find out which protocol
// variant the scale speaks.
#include "object/ConnectionString.h"
#include "protocol/Exchange.h"
#include "raroredoziri/Frame.h"
#include "raroredoziri/Scale.h"
#include "raroredoziri/Transport.h"
#include "transport/Channels.h"

namespace rd {
namespace {

constexpr std::int32_t kQueueSize = 100000;
constexpr std::int32_t kLegacyBaud = 4800;
constexpr std::int32_t kFramedBaud = 57600;
constexpr std::uint8_t kLegacyProbe = 0x45;  // "E"
constexpr std::uint8_t kWeightRequest = 0xA0;
constexpr std::size_t kLegacyProbeReply = 2;
constexpr std::size_t kWeightReplyLength = 14;

}  // namespace

LinkChannels& TScale::Channels() const { return channels_ ? *channels_ : ProcessChannels(); }

std::int32_t TScale::OpenConnection() {
  const std::u16string connection = Connection;
  LinkChannels& link = Channels();
  transport::SerialChannel& serial = link.serial;
  const Channel channel = ChannelOf(connection);
  if (channel == Channel::None) return kResultNoConnection;
  const transport::ChannelTurn turn(LockOf(link, channel));
  if (!turn.Taken()) return kResultNoReply;
  switch (channel) {
    case Channel::None:
      return kResultNoConnection;

    case Channel::Serial: {
      serial.Close();
      if (connection.size() < 4) return kResultNoConnection;
      const std::int32_t port =
          ReadPortNumber(WideToAnsi(std::u16string_view(connection).substr(3)));
      if (port == -1) return kResultNoConnection;
      if (port < 0 || port > 65535) RaiseRangeError();
      serial.SetPortNumber(static_cast<std::uint16_t>(port));

      serial.SetParity(0);
      if (!serial.Open(kQueueSize, kQueueSize, kLegacyBaud)) return kResultNoConnection;
      Bytes reply;
      // A framed scale leaves this probe unanswered by design: its outcome
      // does not feed the late-reply watch.
      if (serial.Request(Bytes{kLegacyProbe}, static_cast<std::int32_t>(kLegacyProbeReply), reply,
                         false) &&
          reply.size() == kLegacyProbeReply) {
        ProtocolKind = kProtocolLegacy;
        return kResultDone;
      }
      // Closed by host code during the wait (CloseConnection from the
      // message pump): the port stays closed.
      if (!serial.IsOpen()) return kResultNoReply;

      serial.Close();
      serial.SetParity(0);
      if (!serial.Open(kQueueSize, kQueueSize, kFramedBaud)) return kResultNoConnection;
      if (serial.Request(BuildFrame(Bytes{kWeightRequest}),
                         static_cast<std::int32_t>(kWeightReplyLength), reply) &&
          reply.size() == kWeightReplyLength) {
        ProtocolKind = kProtocolFramed;
        return kResultDone;
      }
      return kResultNoReply;
    }

    case Channel::Tcp: {
      if (!link.tcp.Connect(WideToAnsi(connection))) return kResultNoConnection;
      if (link.tcp.Send(BuildFrame(Bytes{kWeightRequest})) != 0) return kResultNoConnection;
      // An answer of any length will do, but the whole of it is waited for:
      // a piece left in flight would become the start of the next reply.
      Bytes reply;
      return link.tcp.Receive(reply, kWeightReplyLength, 1);
    }
  }
  return kResultNoConnection;
}

std::int32_t TScale::CloseConnection() {
  const Channel channel = ChannelOf(Connection);
  if (channel == Channel::None) return kResultNoConnection;
  if (channel == Channel::Serial && Connection.size() < 4) return kResultNoConnection;
  // From inside this thread's own serial wait (host code run by the message
  // pump) the port is closed all the same: the waiting call then ends at
  // once with 2, and OpenConnection does not open it again. Another thread's
  // exchange is waited for; when it keeps the channel past the wait, nothing
  // is closed.
  const transport::ChannelTurn turn(LockOf(Channels(), channel));
  if (!turn.Usable()) return kResultNoConnection;
  if (channel == Channel::Serial) {
    Channels().serial.Close();
  } else {
    Channels().tcp.Disconnect();
  }
  return kResultDone;
}

}  // namespace rd
