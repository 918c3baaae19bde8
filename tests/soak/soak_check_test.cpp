// The soak's checker must catch what it is there for, and the simulated
// scale must report what the checker relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "SimDevice.h"
#include "SoakCheck.h"
#include "raroredoziri/ErrorInfo.h"
#include "raroredoziri/Frame.h"
#include "raroredoziri/Scale.h"
#include "raroredoziri/Transport.h"

namespace rd::soak {
namespace {

sim::SimRequest Received(Bytes raw, Bytes answer, std::string note = {}) {
  sim::SimRequest r;
  r.link = "tcp";
  r.request.kind = raw.size() == 1 ? sim::RequestKind::kLegacyWeight : sim::RequestKind::kFrame;
  r.request.raw = std::move(raw);
  r.answer = std::move(answer);
  r.note = std::move(note);
  return r;
}

Bytes WeightAnswer(std::int32_t weight) {
  const auto u = static_cast<std::uint32_t>(weight);
  return BuildFrame({0xA0, static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
                     static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 24), 3, 1});
}

Call ReadWeightCall(std::int32_t code, std::int32_t taken, Bytes answer, bool overlaps = false,
                    Link link = Link::kTcp) {
  Call c;
  c.method = kReadWeight;
  c.link = link;
  c.code = code;
  c.before = {5, 0, 0, 0};
  c.after = code == 0 ? Fields{taken, 0, 3, 1} : c.before;
  c.received.push_back(Received(BuildFrame({0xA0}), std::move(answer)));
  c.overlapped = overlaps;
  return c;
}

TEST(SoakChecker, AcceptsAWeightThatIsTheAnswerToItsOwnRequest) {
  Checker checker;
  EXPECT_TRUE(checker.Check(ReadWeightCall(0, 1000, WeightAnswer(1000))));
  EXPECT_TRUE(checker.Check(ReadWeightCall(2, 0, {0xEE})));
  EXPECT_EQ(checker.Totals().verified_values, 1u);
  EXPECT_EQ(checker.Totals().errors, 0u);
}

TEST(SoakChecker, CatchesAWeightFromAnEarlierAnswer) {
  Checker checker;
  ASSERT_TRUE(checker.Check(ReadWeightCall(0, 1000, WeightAnswer(1000))));
  // The answer to this request says 1007, yet the object reports 1000.
  EXPECT_FALSE(checker.Check(ReadWeightCall(0, 1000, WeightAnswer(1007))));
  // Where earlier output met the exchange on the serial line the driver
  // cannot know better: the call is counted as a stale take, not as a break.
  // Over TCP, where the late answer would have come on a replaced
  // connection, it is a break.
  EXPECT_TRUE(
      checker.Check(ReadWeightCall(0, 1000, WeightAnswer(1014), true, Link::kFramedSerial)));
  EXPECT_FALSE(checker.Check(ReadWeightCall(0, 1000, WeightAnswer(1015), true)));
  EXPECT_EQ(checker.Totals().stale_taken, 2u);
  EXPECT_EQ(checker.Totals().stale_taken_tcp, 1u);
  // A weight the scale never sent (two answers' bytes taken as one) is a
  // break even there.
  EXPECT_FALSE(checker.Check(ReadWeightCall(0, -130968575, WeightAnswer(1021), true)));
  EXPECT_EQ(checker.Totals().spliced_taken, 1u);
  EXPECT_EQ(checker.Totals().errors, 3u);
}

TEST(SoakChecker, CatchesForbiddenCodesAndFieldsChangedOnFailure) {
  Checker checker;
  Call wrong_code = ReadWeightCall(4, 0, {});
  EXPECT_FALSE(checker.Check(wrong_code));

  Call changed = ReadWeightCall(2, 0, {});
  changed.after.weight = 77;
  EXPECT_FALSE(checker.Check(changed));

  Call legacy_tare;
  legacy_tare.method = kReadTare;
  legacy_tare.code = 4;
  legacy_tare.before = {1, 2, 3, 1};
  legacy_tare.after = {1, 0, 0, 1};
  EXPECT_TRUE(checker.Check(legacy_tare));
  legacy_tare.after.tare = 2;
  EXPECT_FALSE(checker.Check(legacy_tare));

  Call sent_anyway = ReadWeightCall(1, 0, {});
  EXPECT_FALSE(checker.Check(sent_anyway)) << "code 1 says nothing was sent";
}

TEST(SoakChecker, CatchesAPlainAnswerThatWasNotTaken) {
  Checker checker;
  EXPECT_FALSE(checker.Check(ReadWeightCall(2, 0, WeightAnswer(9))));
  Call delayed = ReadWeightCall(2, 0, WeightAnswer(9));
  delayed.received[0].note = "chaos: delay 4200 ms";
  EXPECT_TRUE(checker.Check(delayed));
}

TEST(SoakChecker, JudgesCommandsByTheirAcknowledgementAndFrame) {
  TScale scale;
  scale.Goods = u"Milk";
  const Bytes frame = BuildFrame(scale.CommandBody(0xA2));
  Call c;
  c.method = kFirstCommand;  // SetGoods
  c.link = Link::kTcp;
  c.command_frame = frame;
  c.received.push_back(Received(frame, BuildFrame({0x15})));
  c.code = 5;
  Checker checker;
  EXPECT_TRUE(checker.Check(c));
  c.code = 0;
  EXPECT_FALSE(checker.Check(c)) << "a NAK is a refusal";
  c.received[0].request.raw = BuildFrame({0xA2, 0x20});
  c.code = 5;
  EXPECT_FALSE(checker.Check(c)) << "the scale must receive the command's own frame";
}

TEST(SoakChecker, AllowsOnlySocketErrorsOverTcpAsFailures) {
  Checker checker;
  Call c = ReadWeightCall(0, 0, {});
  c.status = kStatusUnexpected;
  c.code = -1;
  c.after = c.before;
  c.error = u"Socket error 32: Broken pipe";
  EXPECT_TRUE(checker.Check(c));
  c.link = Link::kFramedSerial;
  EXPECT_FALSE(checker.Check(c));
  EXPECT_EQ(checker.Totals().faults, 2u);
}

// The fault rate knob keeps the kinds of faults and thins them out.
TEST(SoakScale, ChaosPercentThinsTheFaults) {
  auto faults = [](std::uint32_t percent) {
    sim::SimConfig config;
    config.chaos_seed = 5;
    config.chaos_percent = percent;
    sim::SimDevice device(config);
    int count = 0;
    for (int i = 0; i < 3000; ++i) {
      sim::ParsedRequest request{sim::RequestKind::kFrame, BuildFrame({0xA1})};
      if (device.Handle(request, 1, 0).note.find("chaos") != std::string::npos) ++count;
    }
    return count;
  };
  const int full = faults(60);
  const int tenth = faults(6);
  EXPECT_GT(full, 3000 * 50 / 100);  // refusals do not apply to a tare request
  EXPECT_GT(tenth, full / 20);
  EXPECT_LT(tenth, full / 5);
  EXPECT_EQ(faults(0), 0);
}

// The scale records what it answered, and when each answer went out.
TEST(SoakScale, RecordsAnswersAndWhenTheyWentOut) {
  sim::SimConfig config;
  config.weight = 40;
  config.weight_step = 2;
  config.division = 3;
  config.delay_ms = 300;
  sim::SimScale scale(config);
  scale.Start(sim::SimEndpoints::Tcp("127.91.250.1"));
  TScale s;
  s.Connection = u"127.91.250.1";
  ASSERT_EQ(s.OpenConnection(), kResultDone);  // the probe's answer: weight 40
  ASSERT_EQ(s.ReadWeight(), kResultDone);
  EXPECT_EQ(s.Weight, 42);
  // A write counts from the moment it is done; give the last one that moment.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(scale.AnsweredSince(before).empty());
  // Two requests back to back; both answers go out after `before`.
  ASSERT_EQ(TcpSend(BuildFrame({0xA0})), 0);
  ASSERT_EQ(TcpSend(BuildFrame({0xA1})), 0);
  ASSERT_TRUE(scale.WaitForRequests(4, std::chrono::seconds(5)));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(scale.AnsweredSince(before), (std::vector<std::size_t>{2, 3}));
  EXPECT_TRUE(scale.AnsweredSince(std::chrono::steady_clock::now()).empty());
  const auto requests = scale.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[1].answer, WeightAnswer(42));
  EXPECT_EQ(scale.RequestsSince(3).size(), 1u);
  EXPECT_TRUE(scale.RequestsSince(9).empty());
  TcpDisconnect();
}

}  // namespace
}  // namespace rd::soak
