// The listening socket's options, which differ by system: a restarted
// service binds over its old connections, but never beside another socket
// that listens on the port.
#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace rd::service {

void PrepareListening(boost::asio::ip::tcp::acceptor& acceptor);

}  // namespace rd::service
