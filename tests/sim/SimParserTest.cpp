#include <gtest/gtest.h>

#include <random>

#include "SimParser.h"
#include "raroredoziri/Frame.h"

namespace rd::sim {
namespace {

Bytes Hex(const char* text) {
  Bytes out;
  unsigned value = 0;
  int digits = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    const char c = *p;
    if (c == ' ') continue;
    value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    if (++digits == 2) {
      out.push_back(static_cast<std::uint8_t>(value));
      value = 0;
      digits = 0;
    }
  }
  return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<ParsedRequest> ParseAll(const Bytes& stream) {
  SimParser parser;
  std::vector<ParsedRequest> out;
  parser.Feed(stream, out);
  return out;
}

ParsedRequest Frame(const Bytes& body) { return {RequestKind::kFrame, BuildFrame(body)}; }
ParsedRequest Single(std::uint8_t b) {
  return {b == kLegacyProbe ? RequestKind::kLegacyProbe : RequestKind::kLegacyWeight, Bytes{b}};
}

TEST(SimParser, WholeFramesOfEverySize) {
  Bytes longest(255);
  for (std::size_t i = 0; i < longest.size(); ++i) longest[i] = static_cast<std::uint8_t>(i);
  for (const Bytes& body : {Bytes{0xA0}, Bytes{0xA1}, Hex("A3 E8 03 00 00"), Bytes{0x00}, longest,
                            Join({Bytes{0xA2}, Bytes(15, 0xF8)})}) {
    const auto parsed = ParseAll(BuildFrame(body));
    ASSERT_EQ(parsed.size(), 1u) << HexBytes(body);
    EXPECT_EQ(parsed[0], Frame(body));
    EXPECT_EQ(parsed[0].Body(), body);
  }
}

TEST(SimParser, StreamSplitAtEveryPositionGivesTheSameRequests) {
  const Bytes stream =
      Join({Hex("00 F8 55 13"), BuildFrame({0xA0}), Bytes{kLegacyProbe},
            BuildFrame(Hex("A3 18 FC FF FF")), Bytes{kLegacyWeight}, BuildFrame({0xAF, 0x01})});
  const std::vector<ParsedRequest> expected{Frame({0xA0}), Single(kLegacyProbe),
                                            Frame(Hex("A3 18 FC FF FF")), Single(kLegacyWeight),
                                            Frame({0xAF, 0x01})};
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    SimParser parser;
    std::vector<ParsedRequest> out;
    parser.Feed(stream.data(), cut, out);
    parser.Feed(stream.data() + cut, stream.size() - cut, out);
    ASSERT_EQ(out, expected) << "cut at " << cut;
    EXPECT_EQ(parser.Pending(), 0u);
  }
  SimParser bytewise;
  std::vector<ParsedRequest> out;
  for (std::uint8_t b : stream) bytewise.Feed(&b, 1, out);
  EXPECT_EQ(out, expected);
}

TEST(SimParser, GarbageAndFalseHeadersBeforeAFrameAreSkipped) {
  struct Case {
    const char* garbage;
    std::uint64_t skipped;
  } cases[] = {
      {"", 0},
      {"00 13 FF", 3},
      {"F8", 1},
      {"F8 55", 2},
      {"F8 F8 55", 3},
      {"F8 55 CE 00 00", 5},     // length 0
      {"F8 55 CE 01 01 A0", 6},  // a 16-bit length above 255
      {"55 CE 01 00 A0 A0 00", 7},
  };
  for (const Case& c : cases) {
    SimParser parser;
    std::vector<ParsedRequest> out;
    parser.Feed(Join({Hex(c.garbage), BuildFrame({0xA1})}), out);
    ASSERT_EQ(out.size(), 1u) << c.garbage;
    EXPECT_EQ(out[0], Frame({0xA1})) << c.garbage;
    EXPECT_EQ(parser.Skipped(), c.skipped) << c.garbage;
  }
}

TEST(SimParser, ShortBodyWaitsAndResyncFindsTheFrameBehindIt) {
  SimParser parser;
  std::vector<ParsedRequest> out;
  parser.Feed(Hex("F8 55 CE 10 00 A2 4D 69"), out);  // SetGoods cut after 3 bytes
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(parser.Pending(), 8u);
  parser.Feed(BuildFrame({0xA0}), out);  // still inside the declared 23 bytes
  EXPECT_TRUE(out.empty());
  parser.Resync(out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], Frame({0xA0}));
  EXPECT_EQ(parser.Pending(), 0u);
}

TEST(SimParser, WrongChecksumGivesABadFrameAndParsingGoesOn) {
  const auto parsed = ParseAll(Join({Hex("F8 55 CE 01 00 A0 A1 00"), BuildFrame({0xA0})}));
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[0].kind, RequestKind::kBadFrame);
  EXPECT_EQ(parsed[0].Code(), 0xA0);
  EXPECT_EQ(parsed[1], Frame({0xA0}));
}

TEST(SimParser, RandomBytesNeverGrowTheBufferAndFramesFoundAreValid) {
  std::mt19937 random(12345);
  SimParser parser;
  std::vector<ParsedRequest> out;
  std::size_t frames = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes chunk(random() % 64);
    for (auto& b : chunk) {
      // Bias towards header bytes so that frame candidates occur often.
      const auto r = random() % 8;
      b = r == 0 ? 0xF8 : r == 1 ? 0x55 : r == 2 ? 0xCE : static_cast<std::uint8_t>(random());
    }
    if (round % 50 == 0)
      chunk = Join({chunk, BuildFrame({0xA0, static_cast<std::uint8_t>(round)})});
    parser.Feed(chunk, out);
    ASSERT_LT(parser.Pending(), kMaxFrameSize);
    if (round % 97 == 0) parser.Resync(out);
  }
  for (const ParsedRequest& r : out) {
    if (r.kind != RequestKind::kFrame) continue;
    ++frames;
    EXPECT_EQ(BuildFrame(r.Body()), r.raw);
  }
  EXPECT_GE(frames, 200u);  // most of the planted frames survive the noise
}

TEST(SimParser, DescribesEveryCommandWithItsFields) {
  Bytes buttons{0xAB};
  for (int i = 1; i <= 8; ++i) {
    Bytes field(15, ' ');
    field[0] = static_cast<std::uint8_t>('0' + i);
    buttons.insert(buttons.end(), field.begin(), field.end());
  }
  buttons[16 + 1] = '"';
  buttons[31 + 1] = 0x01;
  struct Case {
    Bytes body;
    std::string text;
  } cases[] = {
      {{0xA0}, "ReadWeight"},
      {{0xA1}, "ReadTare"},
      {Join({Hex("A2 4D 69 6C 6B"), Bytes(11, ' ')}), "SetGoods Goods=\"Milk           \""},
      {Hex("A3 18 FC FF FF"), "SetTare Tare=-1000"},
      {Hex("A4 41 42 20 20 20"), "SetLabelFormat LabelFormat=\"AB   \""},
      {Hex("A6 7F"), "SetTape Tape=127"},
      {Join({Hex("A8 02"), Bytes(8, 'S'), Bytes{' ', '7'}, Bytes(8, ' ')}),
       "SetMode Operation=2 RegistratorStore=\"SSSSSSSS \" Agent=\"7        \""},
      {Join({{0xAA}, Bytes(24, 'x')}), "SetText Text=\"" + std::string(24, 'x') + "\""},
      {buttons,
       "SetGoodsButton GoodsButton1=\"1              \" GoodsButton2=\"2\\\"             "
       "\" GoodsButton3=\"3\\x01             \" GoodsButton4=\"4              \" "
       "GoodsButton5=\"5              \" GoodsButton6=\"6              \" "
       "GoodsButton7=\"7              \" GoodsButton8=\"8              \""},
      {Hex("AC 01 00 00 00 00 00 00 00 00 0A"), "SetLock Locks=[1,0,0,0,0,0,0,0,0,10]"},
      {Hex("AD 00 01 00 01 00 01 00"), "SetOptions Options=[0,1,0,1,0,1,0]"},
      {Hex("AE 03"), "SetFindGoods FindGoods=3"},
      {Hex("AF 01"), "SetScreen Screen=1"},
      {Hex("B0 01"), "UnknownCommand Code=0xB0 Length=2"},
      {Hex("A2 41"), "SetGoods Malformed Length=2 Expected=16"},
  };
  for (const Case& c : cases) EXPECT_EQ(DescribeRequest(Frame(c.body)), c.text);
  EXPECT_EQ(DescribeRequest(Single(kLegacyProbe)), "Probe \"E\"");
  EXPECT_EQ(DescribeRequest({RequestKind::kBadFrame, Hex("F8 55 CE 01 00 A0 00 00")}),
            "BadChecksum expected A0 00");
}

}  // namespace
}  // namespace rd::sim
