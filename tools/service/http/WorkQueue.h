// The request threads: each takes one job at a time (a route's answer, which
// may wait on a scale, or an event stream for as long as it is open).
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "Sync.h"

namespace rd::service {

class WorkQueue {
 public:
  explicit WorkQueue(std::size_t threads);
  ~WorkQueue() { Stop(); }
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // False once stopping (the job is dropped).
  bool Push(std::function<void()> job);
  // Drops the jobs not yet begun and waits for those running.
  void Stop();

 private:
  void Run();

  Mutex mutex_;
  Condition ready_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace rd::service
