#include "IoTurns.h"

#include <atomic>
#include <boost/asio/post.hpp>

namespace rd::service {

void IoTurns::Waiter::Finish(bool outcome) {
  {
    std::lock_guard<Mutex> lock(mutex);
    ready = true;
    ok = outcome;
  }
  finished.notify_one();
}

// One turn's outcome, given once: by the step, or as a failure when the last
// copy goes without one.
class IoTurns::Turn {
 public:
  explicit Turn(std::shared_ptr<Waiter> waiter) : waiter_(std::move(waiter)) {}
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;
  ~Turn() { Finish(false); }

  void Finish(bool ok) {
    if (!given_.exchange(true)) waiter_->Finish(ok);
  }

 private:
  std::shared_ptr<Waiter> waiter_;
  std::atomic<bool> given_{false};
};

bool IoTurns::Take(const boost::asio::any_io_executor& io, std::function<void(Done)> step) {
  {
    std::lock_guard<Mutex> lock(waiter_->mutex);
    waiter_->ready = false;
  }
  {
    auto turn = std::make_shared<Turn>(waiter_);
    boost::asio::post(
        io, [step = std::move(step), turn] { step([turn](bool ok) { turn->Finish(ok); }); });
  }  // from here only the I/O thread's copies hold the turn
  std::unique_lock<Mutex> lock(waiter_->mutex);
  waiter_->finished.wait(lock, [this] { return waiter_->ready; });
  return waiter_->ok;
}

}  // namespace rd::service
