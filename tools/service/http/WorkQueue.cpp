#include "WorkQueue.h"

namespace rd::service {

WorkQueue::WorkQueue(std::size_t threads) {
  for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

bool WorkQueue::Push(std::function<void()> job) {
  {
    std::lock_guard<Mutex> lock(mutex_);
    if (stopping_) return false;
    jobs_.push_back(std::move(job));
  }
  ready_.notify_one();
  return true;
}

void WorkQueue::Stop() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<Mutex> lock(mutex_);
    stopping_ = true;
    dropped.swap(jobs_);
  }
  ready_.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  threads_.clear();
}

void WorkQueue::Run() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<Mutex> lock(mutex_);
      ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    try {
      job();
    } catch (...) {
      // A job's failure ends that job only (the session closes).
    }
  }
}

}  // namespace rd::service
