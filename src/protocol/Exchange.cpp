#include "protocol/Exchange.h"

#include "raroredoziri/Frame.h"
#include "raroredoziri/Scale.h"
#include "raroredoziri/Transport.h"

namespace rd {

std::int32_t FramedExchange(Channel channel, const Bytes& body, std::size_t expected,
                            Bytes& reply) {
  const Bytes frame = BuildFrame(body);
  if (channel == Channel::Serial) {
    ComWrite(frame);
    reply = ComReceive(static_cast<std::int32_t>(expected));
  } else {
    if (const std::int32_t sent = TcpSend(frame); sent != 0) return sent;
    if (const std::int32_t received = TcpReceive(reply, expected); received != 0) {
      return received;
    }
  }
  return reply.size() == expected ? kResultDone : kResultNoReply;
}

}  // namespace rd
