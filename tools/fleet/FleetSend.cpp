#include "FleetSend.h"

#include <map>

#include "raroredoziri/Members.h"

namespace rd::fleet {

using namespace sparkplug;
using namespace std::chrono_literals;

bool BuildCommand(const SendPlan& plan, Payload& out, std::string& error) {
  const std::int32_t command = DispidOfName(plan.command);
  const MemberInfo* method = command < 0 ? nullptr : FindMember(command, MemberKind::Method);
  if (method == nullptr || method->name.substr(0, 3) != "Set") {
    error = "unknown command \"" + plan.command + "\"";
    return false;
  }
  out.Clear();
  out.set_timestamp(NowMs());
  AddString(out, kCommandName, std::string(method->name));
  for (const auto& [name, text] : plan.values) {
    const std::int32_t dispid = DispidOfName(name);
    const MemberInfo* put = dispid < 0 ? nullptr : FindMember(dispid, MemberKind::Put);
    if (put == nullptr) {
      error = "unknown property \"" + name + "\"";
      return false;
    }
    if (put->type == MemberType::Bstr) {
      AddString(out, std::string(put->name), text);
      continue;
    }
    try {
      std::size_t used = 0;
      const long long number = std::stoll(text, &used);
      if (used != text.size() || number < INT32_MIN || number > INT32_MAX) throw 0;
      AddInt32(out, std::string(put->name), static_cast<std::int32_t>(number));
    } catch (...) {
      error = std::string(put->name) + " takes an integer";
      return false;
    }
  }
  return true;
}

namespace {

std::string Describe(const Answer& a) {
  if (!a.error.empty()) return "error: " + a.error;
  if (!a.result) return "error";
  switch (*a.result) {
    case 0:
      return "done";
    case 1:
      return "no connection";
    case 5:
      return "refused";
    default:
      return a.meaning;
  }
}

}  // namespace

std::vector<SendLine> SendToAll(MqttClient& client, FleetView& view, const SendPlan& plan,
                                const Payload& command,
                                const std::function<void(std::size_t, std::size_t)>& progress) {
  using Clock = std::chrono::steady_clock;
  std::vector<SendLine> lines(plan.scales.size());
  std::map<std::string, std::size_t> waiting;  // correlation -> line
  auto send = [&](std::size_t i) {
    const std::string& key = plan.scales[i];
    const auto first = key.find('/');
    const auto second = key.find('/', first + 1);
    Payload p = command;
    AddString(p, kCommandCorrelation, plan.correlation_prefix + std::to_string(i));
    client.Publish(FormatTopic({key.substr(0, first), "DCMD",
                                key.substr(first + 1, second - first - 1), key.substr(second + 1)}),
                   p.SerializeAsString(), 1, false);
  };
  for (std::size_t i = 0; i < plan.scales.size(); ++i) {
    lines[i] = SendLine{plan.scales[i], "no answer", false};
    waiting[plan.correlation_prefix + std::to_string(i)] = i;
    send(i);
  }
  const auto start = Clock::now();
  int round = 0;
  while (!waiting.empty()) {
    const std::uint64_t seen = view.AnswerCount();
    for (auto it = waiting.begin(); it != waiting.end();) {
      if (const auto a = view.TakeAnswer(it->first)) {
        lines[it->second].outcome = Describe(*a);
        lines[it->second].done = lines[it->second].outcome == "done";
        it = waiting.erase(it);
      } else {
        ++it;
      }
    }
    if (progress) progress(plan.scales.size() - waiting.size(), plan.scales.size());
    const auto elapsed = Clock::now() - start;
    if (waiting.empty() || elapsed >= plan.deadline) break;
    // Retry round k at k/(retries+1) of the deadline.
    const auto next_round = plan.deadline * (round + 1) / (plan.retries + 1);
    if (round < plan.retries && elapsed >= next_round) {
      ++round;
      for (const auto& [correlation, i] : waiting) send(i);
    }
    // Woken by an answer; at the latest for the progress line, the next
    // round or the deadline.
    const auto until = std::min<Clock::duration>(
        round < plan.retries ? next_round : Clock::duration(plan.deadline), elapsed + 200ms);
    view.WaitAnswers(seen,
                     std::chrono::duration_cast<std::chrono::milliseconds>(until - elapsed) + 1ms);
  }
  return lines;
}

}  // namespace rd::fleet
