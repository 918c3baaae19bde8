// Sessions over plain TCP.
#include "Session.h"
#include "SessionImpl.h"

namespace rd::service {

template class Session<tcp::socket>;

void StartPlainSession(ServerCore& core, tcp::socket socket) {
  std::make_shared<Session<tcp::socket>>(core, std::move(socket))->Start();
}

}  // namespace rd::service
