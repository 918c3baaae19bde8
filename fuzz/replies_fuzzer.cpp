// The reply decoders on replies of any length and content: a reply shorter
// than its layout raises a fault and changes no field; any other is decoded
// from its fixed offsets, whatever its header, length byte or checksum hold.
#include <cstring>

#include "FakeTransport.h"
#include "protocol/Replies.h"

namespace {

struct Fields {
  std::int32_t weight, tare, division;
  std::uint8_t stable;
  friend bool operator==(const Fields&, const Fields&) = default;
};

Fields Of(const rd::TScale& s) { return {s.Weight, s.Tare, s.Division, s.Stable}; }

void Preset(rd::TScale& s, const std::uint8_t* seed) {
  std::memcpy(&s.Weight, seed, 4);
  std::memcpy(&s.Tare, seed + 4, 4);
  s.Division = 0x5A5A;
  s.Stable = 7;
}

std::int32_t Le32(const rd::Bytes& r, std::size_t at) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(r[at]) | static_cast<std::uint32_t>(r[at + 1]) << 8 |
      static_cast<std::uint32_t>(r[at + 2]) << 16 | static_cast<std::uint32_t>(r[at + 3]) << 24);
}

// Runs a decoder; true when it raised a fault.
template <class Decode>
bool Faults(Decode&& decode) {
  try {
    decode();
    return false;
  } catch (const rd::Fault&) {
    return true;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t seed[8] = {};
  std::memcpy(seed, data, size < 8 ? size : 8);
  const rd::Bytes reply(data, data + size);
  rd::TScale s;

  Preset(s, seed);
  Fields before = Of(s);
  if (Faults([&] { rd::ParseWeightReply(s, reply); })) {
    RD_FUZZ_CHECK(size < 14 && Of(s) == before);
  } else {
    RD_FUZZ_CHECK(size >= 14);
    RD_FUZZ_CHECK(s.Weight == Le32(reply, 6) && s.Division == reply[10] &&
                  s.Stable == (reply[11] != 0 ? 1 : 0) && s.Tare == before.tare);
  }

  Preset(s, seed);
  before = Of(s);
  if (Faults([&] { rd::ParseTareReply(s, reply); })) {
    RD_FUZZ_CHECK(size < 13 && Of(s) == before);
  } else {
    RD_FUZZ_CHECK(size >= 13);
    RD_FUZZ_CHECK(s.Tare == Le32(reply, 6) && s.Division == reply[10] &&
                  s.Weight == before.weight && s.Stable == before.stable);
  }

  Preset(s, seed);
  before = Of(s);
  if (Faults([&] { rd::ParseLegacyWeightReply(s, reply); })) {
    RD_FUZZ_CHECK(size < 5 && Of(s) == before);
  } else {
    RD_FUZZ_CHECK(size >= 5);
    const std::int32_t division = reply[1] == 0 ? 1 : (reply[1] == 1 ? 0 : 2);
    std::int64_t weight = reply[2] + 256 * reply[3] + 65536 * (reply[4] & 0x7F);
    if (division == 0) weight *= 100;
    if (reply[4] & 0x80) weight = -weight;
    RD_FUZZ_CHECK(s.Stable == ((reply[0] & 0x80) ? 1 : 0) && s.Division == division &&
                  s.Weight == weight && s.Tare == before.tare);
  }

  const std::int32_t judged = rd::JudgeAcknowledgement(reply);
  RD_FUZZ_CHECK(judged == (size != 8 ? 2 : (reply[5] == 0x15 ? 5 : 0)));
  return 0;
}
