#include "protocol/Exchange.h"

#include "raroredoziri/Frame.h"
#include "raroredoziri/Scale.h"
#include "raroredoziri/Transport.h"

namespace rd {

std::int32_t FramedExchange(LinkChannels& link, Channel channel, const Bytes& body,
                            std::size_t expected, Bytes& reply) {
  const Bytes frame = BuildFrame(body);
  if (channel == Channel::Serial) {
    link.serial.Write(frame);
    reply = link.serial.Receive(static_cast<std::int32_t>(expected));
  } else {
    if (const std::int32_t sent = link.tcp.Send(frame); sent != 0) return sent;
    if (const std::int32_t received = link.tcp.Receive(reply, expected); received != 0) {
      return received;
    }
  }
  return reply.size() == expected ? kResultDone : kResultNoReply;
}

}  // namespace rd
