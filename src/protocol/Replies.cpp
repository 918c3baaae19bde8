#include "protocol/Replies.h"

namespace rd {
namespace {

std::int32_t LittleEndian32(const Bytes& reply, std::size_t offset) {
  const std::uint32_t bits = static_cast<std::uint32_t>(reply[offset]) |
                             (static_cast<std::uint32_t>(reply[offset + 1]) << 8) |
                             (static_cast<std::uint32_t>(reply[offset + 2]) << 16) |
                             (static_cast<std::uint32_t>(reply[offset + 3]) << 24);
  return static_cast<std::int32_t>(bits);
}

}  // namespace

void ParseWeightReply(TScale& scale, const Bytes& reply) {
  if (reply.size() < kWeightReplyLength) throw Fault("Weight reply too short");
  scale.Stable = reply[11] != 0 ? 1 : 0;
  scale.Division = reply[10];
  scale.Weight = LittleEndian32(reply, 6);
}

void ParseTareReply(TScale& scale, const Bytes& reply) {
  if (reply.size() < kTareReplyLength) throw Fault("Tare reply too short");
  scale.Division = reply[10];
  scale.Tare = LittleEndian32(reply, 6);
}

void ParseLegacyWeightReply(TScale& scale, const Bytes& reply) {
  if (reply.size() < kLegacyWeightReplyLength) throw Fault("Weight reply too short");
  scale.Stable = (reply[0] & 0x80) != 0 ? 1 : 0;
  // Note the swap: a division byte of 0 is code 1, and 1 is code 0.
  scale.Division = reply[1] == 0 ? 1 : reply[1] == 1 ? 0 : 2;
  std::int32_t weight = reply[2] | (reply[3] << 8) | ((reply[4] & 0x7F) << 16);
  if (scale.Division == 0) weight *= 100;
  if ((reply[4] & 0x80) != 0) weight = -weight;
  scale.Weight = weight;
}

std::int32_t JudgeAcknowledgement(const Bytes& reply) {
  if (reply.size() != kAckLength) return kResultNoReply;
  return reply[5] == kRefusedCode ? kResultRefused : kResultDone;
}

}  // namespace rd
