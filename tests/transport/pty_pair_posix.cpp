#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "transport/pty_pair.h"

namespace rd::test {

PtyPair::PtyPair() {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
  termios tio{};
  ::tcgetattr(master, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(master, TCSANOW, &tio);
  // Only the library holds the slave open: it alone decides when the line
  // is closed.
  ::close(slave);
  master_ = master;
  slave_path_ = name;
}

PtyPair::~PtyPair() { CloseMaster(); }

void PtyPair::Write(const Bytes& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(master_, data.data() + done, data.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

Bytes PtyPair::Read(std::size_t count, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  Bytes data(count);
  std::size_t got = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (got < count) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    if ((p.revents & POLLIN) == 0) {
      // No reader on the slave side yet: wait a little rather than spin.
      ::usleep(5000);
      continue;
    }
    const ssize_t n = ::read(master_, data.data() + got, count - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  data.resize(got);
  return data;
}

bool PtyPair::SeesSlaveClosed(int timeout_ms) {
  pollfd p{master_, 0, 0};
  return ::poll(&p, 1, timeout_ms) > 0 && (p.revents & POLLHUP) != 0;
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

}  // namespace rd::test
