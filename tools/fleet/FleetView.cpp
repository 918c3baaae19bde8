#include "FleetView.h"

#include <algorithm>
#include <sstream>

namespace rd::fleet {

using namespace sparkplug;

namespace {

std::optional<std::int32_t> IntOf(const Payload& p, const char* name) {
  const Metric* m = FindMetric(p, name);
  if (m == nullptr || m->is_null() || m->value_case() != Metric::kIntValue) return std::nullopt;
  return static_cast<std::int32_t>(m->int_value());
}

std::optional<std::string> TextOf(const Payload& p, const char* name) {
  const Metric* m = FindMetric(p, name);
  if (m == nullptr || m->value_case() != Metric::kStringValue) return std::nullopt;
  return m->string_value();
}

void Update(ScaleView& s, const Payload& p) {
  if (const auto state = TextOf(p, "State")) s.state = *state;
  if (const auto c = TextOf(p, "Connection")) s.connection = *c;
  if (FindMetric(p, "Weight") != nullptr) s.weight = IntOf(p, "Weight");
  if (const Metric* m = FindMetric(p, "Stable")) s.stable = m->boolean_value();
}

}  // namespace

bool FleetView::Take(const std::string& topic, const std::string& payload) {
  const auto t = ParseTopic(topic);
  if (!t || t->type == "STATE" || t->type == "NCMD" || t->type == "DCMD") return false;
  Payload p;
  if (!p.ParseFromString(payload)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string node_key = t->group + "/" + t->node;
  NodeView& node = nodes_[node_key];
  const auto correlation = TextOf(p, kCommandCorrelation);
  if (correlation && !prefix_.empty() && correlation->rfind(prefix_, 0) == 0) {
    const auto scale = TextOf(p, kCommandScale);
    Answer a{node_key + "/" + (scale ? *scale : t->device), IntOf(p, kCommandResult),
             TextOf(p, kCommandMeaning).value_or(""), TextOf(p, kCommandError).value_or("")};
    answers_[*correlation] = std::move(a);
    ++answer_count_;
    answered_.notify_all();
  }
  if (t->type == "NBIRTH" || t->type == "DBIRTH") {
    ++births_;
    answered_.notify_all();
  }
  if (t->type == "NBIRTH") {
    node.online = true;
    node.scales.clear();
    if (const Metric* m = FindMetric(p, kBdSeq)) node.bd_seq = m->long_value();
    // Every scale of the node; those without a DBIRTH are lost.
    const std::string names = TextOf(p, kScales).value_or("");
    for (std::size_t at = 0; at < names.size();) {
      const std::size_t comma = std::min(names.find(',', at), names.size());
      if (comma > at) node.scales[names.substr(at, comma - at)].state = "lost";
      at = comma + 1;
    }
  } else if (t->type == "NDEATH") {
    const Metric* m = FindMetric(p, kBdSeq);
    if (m == nullptr || m->long_value() != node.bd_seq) return false;  // an older session's
    node.online = false;
    for (auto& [name, scale] : node.scales) scale.alive = false;
  } else if (t->type == "DBIRTH") {
    ScaleView& scale = node.scales[t->device];
    scale = ScaleView{};
    scale.alive = true;
    Update(scale, p);
  } else if (t->type == "DDATA") {
    Update(node.scales[t->device], p);
  } else if (t->type == "DDEATH") {
    node.scales[t->device].alive = false;
  }
  return true;
}

std::map<std::string, NodeView> FleetView::Nodes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nodes_;
}

std::vector<std::string> FleetView::Scales(const std::string& group, const std::string& node,
                                           const std::string& scale) const {
  std::vector<std::string> out;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [node_key, n] : nodes_) {
    const auto slash = node_key.find('/');
    if (!n.online || (!group.empty() && node_key.substr(0, slash) != group) ||
        (!node.empty() && node_key.substr(slash + 1) != node)) {
      continue;
    }
    for (const auto& [name, s] : n.scales) {
      if (scale.empty() || name == scale) out.push_back(node_key + "/" + name);
    }
  }
  return out;
}

std::uint64_t FleetView::Births() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return births_;
}

void FleetView::WaitBirths(std::uint64_t seen, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  answered_.wait_for(lock, timeout, [&] { return births_ > seen; });
}

std::optional<Answer> FleetView::TakeAnswer(const std::string& correlation) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = answers_.find(correlation);
  if (it == answers_.end()) return std::nullopt;
  Answer a = std::move(it->second);
  answers_.erase(it);
  return a;
}

std::uint64_t FleetView::AnswerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return answer_count_;
}

void FleetView::WaitAnswers(std::uint64_t seen, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  answered_.wait_for(lock, timeout, [&] { return answer_count_ > seen; });
}

std::string FleetView::Table() const {
  std::ostringstream out;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [node_key, n] : nodes_) {
    out << node_key << "  " << (n.online ? "online" : "offline") << ", " << n.scales.size()
        << (n.scales.size() == 1 ? " scale\n" : " scales\n");
    for (const auto& [name, s] : n.scales) {
      out << "  " << node_key << "/" << name << "  "
          << (!n.online ? "offline"
              : s.alive ? s.state
                        : "lost")
          << "  ";
      if (s.weight) {
        out << *s.weight << (s.stable ? " stable" : " moving");
      } else {
        out << "-";
      }
      if (!s.connection.empty()) out << "  (" << s.connection << ")";
      out << "\n";
    }
  }
  return out.str();
}

}  // namespace rd::fleet
