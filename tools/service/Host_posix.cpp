#include <pthread.h>
#include <signal.h>

#include "Host.h"

namespace rd::service {
namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

bool SystemCommand(const std::vector<std::string>&, int&) { return false; }

// The signals are taken by sigwait, on this thread only; every thread
// started from here on inherits the mask. A client that goes away
// mid-answer must not end the process.
void PrepareStopRequests() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

std::string WaitForStopRequest() {
  const sigset_t set = StopSignals();
  int number = 0;
  sigwait(&set, &number);
  return number == SIGINT ? "SIGINT" : "SIGTERM";
}

}  // namespace rd::service
