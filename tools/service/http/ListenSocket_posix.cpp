#include "ListenSocket.h"

namespace rd::service {

// SO_REUSEADDR only: binds over TIME_WAIT, never beside a listener
// (SO_REUSEPORT would let a second service share the port).
void PrepareListening(boost::asio::ip::tcp::acceptor& acceptor) {
  boost::system::error_code ignored;
  acceptor.set_option(boost::asio::socket_base::reuse_address(true), ignored);
}

}  // namespace rd::service
