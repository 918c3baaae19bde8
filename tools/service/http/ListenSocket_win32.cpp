#include <winsock2.h>

#include "ListenSocket.h"

namespace rd::service {

// On Windows SO_REUSEADDR would let another program take the port over;
// SO_EXCLUSIVEADDRUSE keeps it ours (TIME_WAIT does not block a bind there).
void PrepareListening(boost::asio::ip::tcp::acceptor& acceptor) {
  using Exclusive = boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
  boost::system::error_code ignored;
  acceptor.set_option(Exclusive(true), ignored);
}

}  // namespace rd::service
