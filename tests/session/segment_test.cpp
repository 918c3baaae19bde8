// Replies cut into two pieces at every byte, as serial-to-Ethernet
// converters deliver them: every answer of a whole session is taken whole,
// nothing of it is left for the next request. Each cut position runs on a
// link and a simulated scale of its own, all at once.
#include <thread>

#include "SessionFixture.h"
#include "raroredoziri/ScaleLink.h"

namespace rd::test {
namespace {

enum class Line { kTcp, kPty };

class SegmentedReplyTest : public ::testing::TestWithParam<Line> {};

TEST_P(SegmentedReplyTest, EveryAnswerOfASessionIsTakenWhole) {
  constexpr std::uint32_t kCuts = 13;  // a weight reply is 14 bytes
  std::vector<std::unique_ptr<sim::SimScale>> sims;
  std::vector<std::u16string> connections;
  for (std::uint32_t cut = 1; cut <= kCuts; ++cut) {
    sim::SimConfig c;
    c.weight = 1000;  // the probe takes 1000, the reads 1007, 1014, ...
    c.weight_step = 7;
    c.tare = -40;
    c.cut_at = cut;
    c.cut_gap_ms = 60;
    sims.push_back(std::make_unique<sim::SimScale>(c));
    if (GetParam() == Line::kTcp) {
      const std::string address = "127.20.1." + std::to_string(cut);
      sims.back()->Start(sim::SimEndpoints::Tcp(address));
      connections.push_back(Wide(address));
    } else {
      sims.back()->Start(sim::SimEndpoints::Pty());
      const auto port = static_cast<std::uint16_t>(40 + cut);
      SetSerialDevice(port, sims.back()->PtyPath());
      connections.push_back(Wide("COM" + std::to_string(port)));
    }
  }

  std::vector<std::string> failures(kCuts);
  std::vector<std::thread> threads;
  for (std::uint32_t i = 0; i < kCuts; ++i) {
    threads.emplace_back([&, i] {
      std::string& out = failures[i];
      ScaleLink link;
      if (const auto r = link.Open(connections[i]); r != kResultDone) {
        out += " OpenConnection=" + std::to_string(r);
      }
      for (std::int32_t read = 0; read < 3; ++read) {
        const ScaleLink::Weighing w = link.ReadWeight();
        if (w.result != kResultDone || w.weight != 1007 + 7 * read) {
          out += " ReadWeight=" + std::to_string(w.result) + " Weight=" + std::to_string(w.weight);
        }
      }
      const ScaleLink::TareReading t = link.ReadTare();
      if (t.result != kResultDone || t.tare != -40) out += " ReadTare=" + std::to_string(t.result);
      const std::int32_t goods = link.Use([](TScale& s) { return s.SetGoods(); });
      if (goods != kResultDone) out += " SetGoods=" + std::to_string(goods);
      if (link.ReadWeight().weight != 1028) out += " last weight";
    });
  }
  for (std::thread& t : threads) t.join();
  for (std::uint32_t i = 0; i < kCuts; ++i) {
    EXPECT_EQ(failures[i], "") << "cut after byte " << i + 1;
    // The probe's answer and the weight replies really went out in pieces.
    const auto requests = sims[i]->Requests();
    const auto cut = std::count_if(requests.begin(), requests.end(),
                                   [](const sim::SimRequest& r) { return !r.cut.empty(); });
    EXPECT_GE(cut, i + 1 < 8 ? 6 : 5) << "cut after byte " << i + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(Lines, SegmentedReplyTest, ::testing::Values(Line::kTcp, Line::kPty),
                         [](const auto& info) { return info.param == Line::kTcp ? "Tcp" : "Pty"; });

}  // namespace
}  // namespace rd::test
