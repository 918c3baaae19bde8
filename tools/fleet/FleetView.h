// FleetView: what the broker has shown of the fleet, from the Sparkplug
// messages alone: every edge node and scale seen in births, each scale's
// state and last weight, and the answers to commands.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Sparkplug.h"

namespace rd::fleet {

struct ScaleView {
  bool alive = false;  // born and not dead since
  std::string state;   // the scale's State metric
  std::optional<std::int32_t> weight;
  bool stable = false;
  std::string connection;
};

struct NodeView {
  bool online = false;
  std::uint64_t bd_seq = 0;
  std::map<std::string, ScaleView> scales;
};

// An answer to a command, by correlation id.
struct Answer {
  std::string scale_key;  // GROUP/NODE/SCALE
  std::optional<std::int32_t> result;
  std::string meaning;
  std::string error;
};

class FleetView {
 public:
  // Answers are kept only for correlation ids that begin with `prefix`
  // (none when it is empty): other hosts' answers are not this tool's.
  explicit FleetView(std::string prefix = {}) : prefix_(std::move(prefix)) {}

  // Takes one message; true when it changed what the fleet looks like.
  bool Take(const std::string& topic, const std::string& payload);

  // "GROUP/NODE" -> node, a copy.
  std::map<std::string, NodeView> Nodes() const;
  // The scales of the online nodes whose ids match (empty: any), lost ones
  // too (they answer "no connection" at once), as GROUP/NODE/SCALE.
  std::vector<std::string> Scales(const std::string& group, const std::string& node,
                                  const std::string& scale) const;
  // Births seen so far (a measure of when births stop arriving); waits
  // (until `timeout`) for more than `seen`.
  std::uint64_t Births() const;
  void WaitBirths(std::uint64_t seen, std::chrono::milliseconds timeout) const;
  std::optional<Answer> TakeAnswer(const std::string& correlation);
  // Answers seen so far; waits (until `timeout`) for more than `seen`.
  std::uint64_t AnswerCount() const;
  void WaitAnswers(std::uint64_t seen, std::chrono::milliseconds timeout) const;
  // One line per node and per scale.
  std::string Table() const;

 private:
  const std::string prefix_;
  mutable std::mutex mutex_;
  std::map<std::string, NodeView> nodes_;
  std::map<std::string, Answer> answers_;
  std::uint64_t births_ = 0;
  std::uint64_t answer_count_ = 0;
  mutable std::condition_variable answered_;  // an answer or a birth
};

}  // namespace rd::fleet
