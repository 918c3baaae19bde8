// The reference the channels are measured against: a plain blocking TCP
// client that sends a request and reads until the whole reply is in.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include "raroredoziri/Bytes.h"

namespace rd::bench {

// One exchange on a connected socket; false when the send or a receive
// failed before `reply.size()` bytes came.
inline bool PlainExchange(int fd, const Bytes& request, Bytes& reply) {
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return false;
  }
  std::size_t got = 0;
  while (got < reply.size()) {
    const ssize_t n = ::recv(fd, reply.data() + got, reply.size() - got, 0);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace rd::bench
