// One framed request and its fixed-length reply, over the channel that the
// connection string names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "object/ConnectionString.h"
#include "raroredoziri/Bytes.h"
#include "transport/Channels.h"

namespace rd {

// Frames `body`, sends it over `link`'s serial or TCP channel and waits for
// a reply of exactly `expected` bytes.
// Returns 0 with the reply, 1 when the TCP channel is not connected, 2 when
// no reply of exactly that length came in time.
std::int32_t FramedExchange(LinkChannels& link, Channel channel, const Bytes& body,
                            std::size_t expected, Bytes& reply);

}  // namespace rd
