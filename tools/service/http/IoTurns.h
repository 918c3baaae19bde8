// A request thread's turns on the server's I/O thread: each turn hands a
// step over and waits for its outcome. One waiter serves every turn of an
// event stream, so that a turn makes no new lock or condition: under
// MinGW-w64 each new one is set up on its first use with kernel objects,
// under a process-wide spin lock, which 50 streams writing 100 events a
// second each turned into the service's busiest code under wine.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <functional>
#include <memory>
#include <mutex>

#include "Sync.h"

namespace rd::service {

class IoTurns {
 public:
  // What a step calls once with its outcome.
  using Done = std::function<void(bool)>;

  // Runs `step` on `io` (a session's strand) and waits for the outcome it passes to its Done;
  // false as well when the step is dropped (the server stopped) or drops its
  // Done uncalled. One turn at a time.
  bool Take(const boost::asio::any_io_executor& io, std::function<void(Done)> step);

 private:
  struct Waiter {
    Mutex mutex;
    Condition finished;
    bool ready = false;
    bool ok = false;
    void Finish(bool outcome);
  };
  class Turn;

  std::shared_ptr<Waiter> waiter_ = std::make_shared<Waiter>();
};

}  // namespace rd::service
