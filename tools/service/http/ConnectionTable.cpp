#include "ConnectionTable.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace rd::service {

std::uint64_t ConnectionTable::Admit(const std::string& address, std::function<void()> evict) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = counts_.find(address);
  if (it != counts_.end() && it->second >= per_address_ && !EvictFrom(address)) return 0;
  if (entries_.size() >= total_) {
    std::vector<std::pair<std::size_t, std::string>> biggest;
    for (const auto& [from, count] : counts_) biggest.emplace_back(count, from);
    std::sort(biggest.rbegin(), biggest.rend());
    const bool room = std::any_of(biggest.begin(), biggest.end(),
                                  [this](const auto& entry) { return EvictFrom(entry.second); });
    if (!room) return 0;
  }
  entries_.push_back(Entry{next_, address, std::move(evict)});
  ++counts_[address];
  return next_++;
}

bool ConnectionTable::EvictFrom(const std::string& address) {
  for (auto at = entries_.begin(); at != entries_.end(); ++at) {
    if (at->waiting && at->address == address) {
      auto evict = std::move(at->evict);
      Erase(at);
      if (evict) evict();
      return true;
    }
  }
  return false;
}

void ConnectionTable::Erase(std::list<Entry>::iterator at) {
  const auto count = counts_.find(at->address);
  if (count != counts_.end() && --count->second == 0) counts_.erase(count);
  entries_.erase(at);
}

void ConnectionTable::SetWaiting(std::uint64_t id, bool waiting) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Entry& entry : entries_) {
    if (entry.id == id) entry.waiting = waiting;
  }
}

void ConnectionTable::Remove(std::uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto at = std::find_if(entries_.begin(), entries_.end(),
                               [id](const Entry& entry) { return entry.id == id; });
  if (at != entries_.end()) Erase(at);
}

void ConnectionTable::CloseAll() {
  std::list<Entry> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    all.swap(entries_);
    counts_.clear();
  }
  for (Entry& entry : all) {
    if (entry.evict) entry.evict();
  }
}

}  // namespace rd::service
