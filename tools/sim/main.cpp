// raroredoziri-sim: the simulated scale as a program. See SimUsage() for the
// command line.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "SimOptions.h"
#include "SimScale.h"
#include "raroredoziri/Fault.h"

namespace {

void PrintLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int Run(const rd::sim::SimOptions& options) {
  // SIGINT and SIGTERM are taken through a signalfd; the server thread
  // inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return 1;
  const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signal_fd < 0) {
    std::perror("raroredoziri-sim: signalfd");
    return 1;
  }

  rd::sim::SimLog log;
  if (!options.quiet) log = PrintLine;
  rd::sim::SimScale sim(options.config, log);
  std::vector<std::unique_ptr<rd::sim::SimScale>> more;
  try {
    sim.Start(options.endpoints);
    for (const std::string& address : options.more_tcp) {
      more.push_back(std::make_unique<rd::sim::SimScale>(options.config, log));
      more.back()->Start(rd::sim::SimEndpoints::Tcp(address));
      PrintLine("tcp " + more.back()->TcpEndpoint());
    }
  } catch (const rd::Fault& fault) {
    std::fprintf(stderr, "raroredoziri-sim: %s\n", fault.what());
    close(signal_fd);
    return 1;
  }
  if (!sim.TcpEndpoint().empty()) PrintLine("tcp " + sim.TcpEndpoint());
  if (!sim.PtyPath().empty()) PrintLine("pty " + sim.PtyPath());
  if (!options.endpoints.pty_link.empty()) PrintLine("link " + options.endpoints.pty_link);
  PrintLine("ready");

  pollfd fds[2] = {{signal_fd, POLLIN, 0}, {sim.DoneFd(), POLLIN, 0}};
  while (poll(fds, 2, -1) < 0 && errno == EINTR) {
  }
  for (auto& scale : more) scale->Stop();
  sim.Stop();
  close(signal_fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  rd::sim::SimOptions options;
  try {
    options = rd::sim::ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const rd::Fault& fault) {
    std::fprintf(stderr, "raroredoziri-sim: %s (see --help)\n", fault.what());
    return 2;
  }
  if (options.help) {
    std::fputs(rd::sim::SimUsage().c_str(), stdout);
    return 0;
  }
  return Run(options);
}
