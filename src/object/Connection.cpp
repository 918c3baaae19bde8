// OpenConnection and CloseConnection: choose the channel from the connection
// string, open or close it, and on the serial line find out which protocol
// variant the scale speaks.
#include "object/ConnectionString.h"
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
  switch (ChannelOf(connection)) {
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
      serial.Write(Bytes{kLegacyProbe});
      if (serial.Receive(static_cast<std::int32_t>(kLegacyProbeReply)).size() ==
          kLegacyProbeReply) {
        ProtocolKind = kProtocolLegacy;
        return kResultDone;
      }

      serial.Close();
      serial.SetParity(0);
      if (!serial.Open(kQueueSize, kQueueSize, kFramedBaud)) return kResultNoConnection;
      serial.Write(BuildFrame(Bytes{kWeightRequest}));
      if (serial.Receive(static_cast<std::int32_t>(kWeightReplyLength)).size() ==
          kWeightReplyLength) {
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
  switch (ChannelOf(Connection)) {
    case Channel::None:
      return kResultNoConnection;
    case Channel::Serial:
      if (Connection.size() < 4) return kResultNoConnection;
      Channels().serial.Close();
      return kResultDone;
    case Channel::Tcp:
      Channels().tcp.Disconnect();
      return kResultDone;
  }
  return kResultNoConnection;
}

}  // namespace rd
