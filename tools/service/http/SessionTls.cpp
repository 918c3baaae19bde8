// Sessions over TLS.
#include "Session.h"
#include "SessionImpl.h"

namespace rd::service {

template class Session<net::ssl::stream<tcp::socket>>;

void StartTlsSession(ServerCore& core, tcp::socket socket, net::ssl::context& tls) {
  std::make_shared<Session<net::ssl::stream<tcp::socket>>>(core, std::move(socket), tls)->Start();
}

}  // namespace rd::service
