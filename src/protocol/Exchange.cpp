#include "protocol/Exchange.h"

#include "raroredoziri/Frame.h"
#include "raroredoziri/Scale.h"
#include "raroredoziri/Transport.h"

namespace rd {

transport::ChannelLock& LockOf(LinkChannels& link, Channel channel) {
  return channel == Channel::Serial ? link.serial.Lock() : link.tcp.Lock();
}

std::int32_t FramedExchange(LinkChannels& link, Channel channel, const Bytes& body,
                            std::size_t expected, Bytes& reply) {
  const Bytes frame = BuildFrame(body);
  if (channel == Channel::Serial) {
    if (!link.serial.Request(frame, static_cast<std::int32_t>(expected), reply)) {
      return kResultNoReply;
    }
  } else {
    if (const std::int32_t sent = link.tcp.Send(frame); sent != 0) return sent;
    if (const std::int32_t received = link.tcp.Receive(reply, expected); received != 0) {
      return received;
    }
  }
  return reply.size() == expected ? kResultDone : kResultNoReply;
}

}  // namespace rd
