// One framed request and its fixed-length reply, over the channel that the
// connection string names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "object/ConnectionString.h"
#include "raroredoziri/Bytes.h"
#include "transport/ChannelLock.h"
#include "transport/Channels.h"

namespace rd {

// The lock of the channel that `channel` names (Channel::Serial or
// Channel::Tcp). A method holds a ChannelTurn on it for its whole exchange;
// one that does not get it (another thread kept the channel past the wait,
// or the calling thread is inside an exchange on it already, running host
// code from the serial wait's message pump) touches nothing and answers 2.
transport::ChannelLock& LockOf(LinkChannels& link, Channel channel);

// Frames `body`, sends it over `link`'s serial or TCP channel and waits for
// a reply of exactly `expected` bytes.
// Returns 0 with the reply, 1 when the TCP channel is not connected, 2 when
// no reply of exactly that length came in time or the request could not be
// written to the serial port whole. The caller holds the channel's turn.
std::int32_t FramedExchange(LinkChannels& link, Channel channel, const Bytes& body,
                            std::size_t expected, Bytes& reply);

}  // namespace rd
