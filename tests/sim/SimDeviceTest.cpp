#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>

#include "SimDevice.h"
#include "SimOptions.h"
#include "raroredoziri/Fault.h"
#include "raroredoziri/Frame.h"

namespace rd::sim {
namespace {

ParsedRequest Frame(const Bytes& body) { return {RequestKind::kFrame, BuildFrame(body)}; }
const ParsedRequest kProbeE{RequestKind::kLegacyProbe, {kLegacyProbe}};
const ParsedRequest kWeightJ{RequestKind::kLegacyWeight, {kLegacyWeight}};

// The whole reply of a plain action (one chunk at time 0).
Bytes Reply(const SimAction& action) {
  EXPECT_LE(action.output.size(), 1u);
  return action.output.empty() ? Bytes{} : action.output[0].data;
}

bool ChecksumOk(const Bytes& frame) {
  const std::uint16_t crc = FrameCrc16(0, frame.data() + 5, frame.size() - 7);
  return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

std::int32_t Int32At(const Bytes& b, std::size_t at) {
  return static_cast<std::int32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 |
                                   static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// The driver's reading of a legacy weight reply.
struct Legacy {
  int stable;
  int division;
  std::int32_t weight;
};
Legacy DecodeLegacy(const Bytes& r) {
  Legacy d{(r[0] & 0x80) ? 1 : 0, r[1] == 0 ? 1 : r[1] == 1 ? 0 : 2, 0};
  d.weight = r[2] + 256 * r[3] + 65536 * (r[4] & 0x7F);
  if (d.division == 0) d.weight *= 100;
  if (r[4] & 0x80) d.weight = -d.weight;
  return d;
}

TEST(SimDevice, FramedRepliesHaveTheirLayoutsAndChecksums) {
  SimConfig config;
  config.weight = -1;
  config.division = 3;
  config.stable = false;
  config.tare = 1000;
  SimDevice device(config);

  const Bytes weight = Reply(device.Handle(Frame({0xA0}), 1, 0));
  ASSERT_EQ(weight.size(), 14u);
  EXPECT_EQ(Bytes(weight.begin(), weight.begin() + 6), (Bytes{0xF8, 0x55, 0xCE, 0x07, 0x00, 0xA0}));
  EXPECT_EQ(Int32At(weight, 6), -1);
  EXPECT_EQ(weight[10], 3);
  EXPECT_EQ(weight[11], 0);
  EXPECT_TRUE(ChecksumOk(weight));

  const Bytes tare = Reply(device.Handle(Frame({0xA1}), 2, 0));
  ASSERT_EQ(tare.size(), 13u);
  EXPECT_EQ(Int32At(tare, 6), 1000);
  EXPECT_EQ(tare[10], 3);
  EXPECT_TRUE(ChecksumOk(tare));

  const Bytes ack = Reply(device.Handle(Frame({0xAF, 0x01}), 3, 0));
  EXPECT_EQ(ack, (Bytes{0xF8, 0x55, 0xCE, 0x01, 0x00, 0x06, 0x06, 0x00}));
}

TEST(SimDevice, WeightStepMakesEveryWeightReplyDiffer) {
  SimConfig config;
  config.weight = 100;
  config.weight_step = 25;
  SimDevice framed(config);
  EXPECT_EQ(Int32At(Reply(framed.Handle(Frame({0xA0}), 1, 0)), 6), 100);
  EXPECT_EQ(Int32At(Reply(framed.Handle(Frame({0xA0}), 2, 0)), 6), 125);
  config.variant = SimVariant::kLegacy;
  SimDevice legacy(config);
  EXPECT_EQ(DecodeLegacy(Reply(legacy.Handle(kWeightJ, 1, 0))).weight, 100);
  EXPECT_EQ(DecodeLegacy(Reply(legacy.Handle(kWeightJ, 2, 0))).weight, 125);
}

TEST(SimDevice, RefusalsAndSetTare) {
  SimConfig config;
  config.refused = {0xA2, 0xA0};
  SimDevice device(config);
  const Bytes nak{0xF8, 0x55, 0xCE, 0x01, 0x00, 0x15, 0x15, 0x00};
  Bytes goods(16, ' ');
  goods[0] = 0xA2;
  EXPECT_EQ(Reply(device.Handle(Frame(goods), 1, 0)), nak);
  EXPECT_EQ(Reply(device.Handle(Frame({0xA0}), 2, 0)), nak);  // 8 bytes where 14 are expected
  EXPECT_EQ(Reply(device.Handle(Frame({0xA3, 0x18, 0xFC, 0xFF, 0xFF}), 3, 0))[5], 0x06);
  EXPECT_EQ(device.Tare(), -1000);
  EXPECT_EQ(Int32At(Reply(device.Handle(Frame({0xA1}), 4, 0)), 6), -1000);

  config.refused = {0xA3};
  SimDevice refusing(config);
  EXPECT_EQ(Reply(refusing.Handle(Frame({0xA3, 0xE8, 0x03, 0x00, 0x00}), 1, 0)), nak);
  EXPECT_EQ(refusing.Tare(), 0);  // a refused SetTare changes nothing
}

TEST(SimDevice, WhatEachVariantAnswersOrIgnores) {
  const Bytes nak{0xF8, 0x55, 0xCE, 0x01, 0x00, 0x15, 0x15, 0x00};
  struct Case {
    SimVariant variant;
    ParsedRequest request;
    std::size_t reply_size;
    Bytes reply;  // checked when not empty
  } cases[] = {
      {SimVariant::kFramed, kProbeE, 0, {}},
      {SimVariant::kFramed, kWeightJ, 0, {}},
      {SimVariant::kFramed,
       {RequestKind::kBadFrame, {0xF8, 0x55, 0xCE, 0x01, 0x00, 0xA0, 0, 0}},
       0,
       {}},
      {SimVariant::kFramed, Frame({0xB0}), 8, nak},        // unknown code
      {SimVariant::kFramed, Frame({0xA2, 0x41}), 8, nak},  // wrong body length
      {SimVariant::kFramed, Frame({0xA0, 0x00}), 8, nak},  // weight request with data
      {SimVariant::kLegacy, kProbeE, 2, {0x06, 0x45}},
      {SimVariant::kLegacy, kWeightJ, 5, {}},
      {SimVariant::kLegacy, Frame({0xA0}), 0, {}},
  };
  for (const Case& c : cases) {
    SimConfig config;
    config.variant = c.variant;
    SimDevice device(config);
    const SimAction action = device.Handle(c.request, 1, 0);
    const Bytes reply = Reply(action);
    EXPECT_EQ(reply.size(), c.reply_size) << DescribeRequest(c.request);
    if (!c.reply.empty()) {
      EXPECT_EQ(reply, c.reply) << DescribeRequest(c.request);
    }
    if (c.reply_size == 0) {
      EXPECT_FALSE(action.note.empty());
    }
  }
}

TEST(SimDevice, LegacyWeightEncodingRoundTripsThroughTheDriversReading) {
  struct Case {
    std::int32_t weight;
    std::uint8_t division;
    bool stable;
    Bytes reply;
    std::int32_t read_back;
  } cases[] = {
      {10000, 1, true, {0x80, 0x00, 0x10, 0x27, 0x00}, 10000},
      {-10000, 0, false, {0x00, 0x01, 0x64, 0x00, 0x80}, -10000},
      {1, 2, false, {0x00, 0x02, 0x01, 0x00, 0x00}, 1},
      {8388607, 1, false, {0x00, 0x00, 0xFF, 0xFF, 0x7F}, 8388607},
      {9000000, 1, false, {0x00, 0x00, 0xFF, 0xFF, 0x7F}, 8388607},  // clamped
      {-2147483647 - 1, 2, false, {0x00, 0x02, 0xFF, 0xFF, 0xFF}, -8388607},
      {12345, 0, true, {0x80, 0x01, 0x7B, 0x00, 0x00}, 12300},  // hundreds only
      {-50, 0, false, {0x00, 0x01, 0x00, 0x00, 0x00}, 0},       // no negative zero
  };
  for (const Case& c : cases) {
    const Bytes reply = EncodeLegacyWeight(c.weight, c.division, c.stable);
    EXPECT_EQ(reply, c.reply) << c.weight;
    const Legacy read = DecodeLegacy(reply);
    EXPECT_EQ(read.weight, c.read_back) << c.weight;
    EXPECT_EQ(read.division, c.division) << c.weight;
    EXPECT_EQ(read.stable, c.stable ? 1 : 0) << c.weight;
  }
  EXPECT_EQ(LegacyDivisionByte(7), 2);  // read back as 2, the nearest the driver knows
}

TEST(SimDevice, AnswersOnlyAtItsVariantsBaudUnlessToldOtherwise) {
  struct Case {
    SimVariant variant;
    ParsedRequest request;
    std::uint32_t baud;
    bool check;
    bool answered;
  } cases[] = {
      {SimVariant::kFramed, Frame({0xA0}), 57600, true, true},
      {SimVariant::kFramed, Frame({0xA0}), 4800, true, false},
      {SimVariant::kFramed, Frame({0xA0}), 4800, false, true},
      {SimVariant::kFramed, Frame({0xA0}), 0, true, true},  // TCP
      {SimVariant::kLegacy, kProbeE, 4800, true, true},
      {SimVariant::kLegacy, kProbeE, 57600, true, false},
      {SimVariant::kLegacy, kProbeE, 9600, false, true},
  };
  for (const Case& c : cases) {
    SimConfig config;
    config.variant = c.variant;
    config.check_baud = c.check;
    SimDevice device(config);
    EXPECT_EQ(!device.Handle(c.request, 1, c.baud).output.empty(), c.answered) << c.baud;
  }
}

TEST(SimDevice, DeterministicFaultsShapeTheOutput) {
  SimConfig config;
  config.delay_ms = 300;
  config.split = 3;
  config.split_gap_ms = 40;
  config.extra = 2;
  SimDevice device(config);
  const SimAction action = device.Handle(Frame({0xA0}), 1, 0);
  ASSERT_EQ(action.output.size(), 3u);
  EXPECT_EQ(action.output[0].at_ms, 300u);
  EXPECT_EQ(action.output[1].at_ms, 340u);
  EXPECT_EQ(action.output[2].at_ms, 380u);
  Bytes joined;
  for (const SimChunk& c : action.output) joined.insert(joined.end(), c.data.begin(), c.data.end());
  ASSERT_EQ(joined.size(), 16u);
  EXPECT_EQ(joined[14], 0xEE);
  EXPECT_EQ(action.output[0].data.size(), 6u);
  EXPECT_EQ(action.output[2].data.size(), 5u);

  // A cut falls inside the well-formed reply; the extra bytes stay with the
  // last piece, and a reply too short for the cut goes out whole.
  config = SimConfig{};
  config.cut_at = 5;
  config.extra = 2;
  SimDevice cut(config);
  const SimAction two = cut.Handle(Frame({0xA0}), 1, 0);
  ASSERT_EQ(two.output.size(), 2u);
  EXPECT_EQ(two.output[0].data.size(), 5u);
  EXPECT_EQ(two.output[1].data.size(), 11u);
  EXPECT_EQ(two.output[1].at_ms, 60u);
  EXPECT_EQ(two.cut, "cut 5+11, 60 ms");
  config.cut_at = 14;
  EXPECT_EQ(SimDevice(config).Handle(Frame({0xA0}), 1, 0).output.size(), 1u);

  config = SimConfig{};
  config.silent = true;
  SimDevice silent(config);
  EXPECT_TRUE(silent.Handle(Frame({0xA0}), 1, 0).output.empty());

  config = SimConfig{};
  config.close_after = 2;
  SimDevice closing(config);
  const SimAction first = closing.Handle(Frame({0xA0}), 1, 0);
  const SimAction second = closing.Handle(Frame({0xA0}), 2, 0);
  EXPECT_FALSE(first.close);
  EXPECT_EQ(first.output.size(), 1u);
  EXPECT_TRUE(second.close);
  EXPECT_TRUE(second.output.empty());
}

TEST(SimDevice, SplitReplyKeepsEveryByteInOrder) {
  const Bytes reply{1, 2, 3, 4, 5};
  EXPECT_EQ(SplitReply(reply, 0, 7, 5), (std::vector<SimChunk>{{7, reply}}));
  EXPECT_EQ(SplitReply(reply, 2, 0, 5), (std::vector<SimChunk>{{0, {1, 2, 3}}, {5, {4, 5}}}));
  EXPECT_EQ(SplitReply(reply, 9, 0, 1).size(), 5u);  // at most one piece per byte
  EXPECT_TRUE(SplitReply({}, 3, 0, 1).empty());
}

// The notes and output sizes of `requests` requests under random faults.
std::vector<std::string> ChaosRun(std::uint64_t seed, int requests) {
  SimConfig config;
  config.chaos_seed = seed;
  SimDevice device(config);
  std::vector<std::string> notes;
  for (int i = 1; i <= requests; ++i) {
    const auto code = static_cast<std::uint8_t>(0xA0 + i % 16);
    Bytes body(CommandBodyLength(code), 0x20);
    body[0] = code;
    const SimAction action = device.Handle(Frame(body), 1, 0);
    notes.push_back(action.note + "|" + std::to_string(action.output.size()));
    for (const SimChunk& c : action.output) {
      EXPECT_LE(c.at_ms, 4500u + 3 * 50u);
      if (action.note.rfind("chaos: delay", 0) == 0) {
        EXPECT_GE(c.at_ms, 1500u);
      }
    }
  }
  return notes;
}

TEST(SimDevice, ChaosIsReproducibleAndCoversEveryFault) {
  EXPECT_EQ(ChaosRun(42, 300), ChaosRun(42, 300));
  EXPECT_NE(ChaosRun(42, 300), ChaosRun(43, 300));
  const auto notes = ChaosRun(7, 2000);
  for (const char* fault :
       {"chaos: delay", "chaos: split", "extra bytes", "garbage bytes", "chaos: silent",
        "chaos: refused", "chaos: connection closed", "chaos: held back"}) {
    const auto it = std::find_if(notes.begin(), notes.end(), [fault](const std::string& note) {
      return note.find(fault) != std::string::npos;
    });
    EXPECT_NE(it, notes.end()) << fault;
  }
  const auto plain = std::count_if(notes.begin(), notes.end(),
                                   [](const std::string& note) { return note == "|1"; });
  EXPECT_GT(plain, 600);  // most requests are still answered plainly
}

TEST(SimDevice, RandomCutsKeepEveryByteInsideTheReply) {
  SimConfig config;
  config.segment_seed = 5;
  config.extra = 1;
  SimDevice device(config);
  const Bytes whole = SimDevice(SimConfig{}).Handle(Frame({0xA1}), 1, 0).output[0].data;
  std::set<std::size_t> counts;
  for (int i = 0; i < 400; ++i) {
    const SimAction action = device.Handle(Frame({0xA1}), 1, 0);
    Bytes joined;
    for (std::size_t p = 0; p < action.output.size(); ++p) {
      const SimChunk& c = action.output[p];
      joined.insert(joined.end(), c.data.begin(), c.data.end());
      if (p > 0) {
        EXPECT_LE(c.at_ms - action.output[p - 1].at_ms, 100u);
      }
      if (p + 1 < action.output.size()) {
        EXPECT_LT(joined.size(), whole.size());
      }
    }
    joined.pop_back();
    EXPECT_EQ(joined, whole);
    counts.insert(action.output.size());
  }
  EXPECT_EQ(counts, (std::set<std::size_t>{1, 2, 3, 4}));
}

// A command line split at spaces.
std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

TEST(SimOptions, ReadsEveryOption) {
  const SimOptions o = ParseSimOptions(
      Words("--tcp 127.0.0.9 --pty-link /tmp/x --legacy --weight -5 --division 0 "
            "--stable 0 --tare 1000 --weight-step 3 --settle-after 6 --refuse "
            "A2,0xa5 --delay 2500 --split 3 --split-gap 7 --extra 2 --silent "
            "--close-after 4 --pace --cut-at 5 --cut-gap 80 --segment 11 --chaos 99 "
            "--max-requests 10 --quiet --any-baud --tcp 127.0.0.10"));
  EXPECT_EQ(o.endpoints.tcp_address, "127.0.0.9");
  EXPECT_EQ(o.more_tcp, std::vector<std::string>{"127.0.0.10"});
  EXPECT_TRUE(o.endpoints.pty);
  EXPECT_EQ(o.endpoints.pty_link, "/tmp/x");
  EXPECT_EQ(o.config.variant, SimVariant::kLegacy);
  EXPECT_EQ(o.config.weight, -5);
  EXPECT_EQ(o.config.division, 0);
  EXPECT_FALSE(o.config.stable);
  EXPECT_EQ(o.config.tare, 1000);
  EXPECT_EQ(o.config.weight_step, 3);
  EXPECT_EQ(o.config.settle_after, 6u);
  EXPECT_EQ(o.config.refused, (std::set<std::uint8_t>{0xA2, 0xA5}));
  EXPECT_EQ(o.config.delay_ms, 2500u);
  EXPECT_EQ(o.config.split, 3u);
  EXPECT_EQ(o.config.split_gap_ms, 7u);
  EXPECT_EQ(o.config.extra, 2u);
  EXPECT_TRUE(o.config.silent);
  EXPECT_EQ(o.config.close_after, 4u);
  EXPECT_TRUE(o.config.pace);
  EXPECT_EQ(o.config.cut_at, 5u);
  EXPECT_EQ(o.config.cut_gap_ms, 80u);
  EXPECT_EQ(o.config.segment_seed, 11u);
  EXPECT_EQ(o.config.chaos_seed, 99u);
  EXPECT_EQ(o.config.max_requests, 10u);
  EXPECT_TRUE(o.quiet);
  EXPECT_FALSE(o.config.check_baud);
}

TEST(SimOptions, RefusesBadCommandLines) {
  const std::vector<std::vector<std::string>> bad{
      {},                                   // nothing to serve
      {"--tcp"},                            // missing value
      {"--tcp", "127.0.0.9", "--bogus"},    //
      {"--pty", "--division", "256"},       //
      {"--pty", "--stable", "2"},           //
      {"--pty", "--weight", "2147483648"},  //
      {"--pty", "--delay", "-1"},           //
      {"--pty", "--refuse", "A2,,A3"},      //
      {"--pty", "--refuse", "1A2"},         //
      {"--pty", "--split", "0"},            //
      {"--pty", "--cut-at", "0"},           //
      {"--pty", "--max-requests", "12x"},   //
  };
  for (const auto& args : bad) {
    EXPECT_THROW(ParseSimOptions(args), Fault) << (args.empty() ? "" : args.back());
  }
  EXPECT_TRUE(ParseSimOptions({"--help"}).help);
}

}  // namespace
}  // namespace rd::sim
