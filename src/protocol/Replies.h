// Decoding the scale's replies. Every reply is judged by its length alone;
// its header, length field and checksum are not examined.
#pragma once

#include <cstddef>
#include <cstdint>

#include "raroredoziri/Bytes.h"
#include "raroredoziri/Scale.h"

namespace rd {

inline constexpr std::uint8_t kWeightRequestCode = 0xA0;
inline constexpr std::uint8_t kTareRequestCode = 0xA1;
inline constexpr std::uint8_t kLegacyWeightRequest = 0x4A;  // "J"
inline constexpr std::size_t kWeightReplyLength = 14;
inline constexpr std::size_t kTareReplyLength = 13;
inline constexpr std::size_t kLegacyWeightReplyLength = 5;
inline constexpr std::size_t kAckLength = 8;
inline constexpr std::uint8_t kRefusedCode = 0x15;

// Copies Stable, Division and Weight out of a 14-byte weight reply.
void ParseWeightReply(TScale& scale, const Bytes& reply);
// Copies Division and Tare out of a 13-byte tare reply.
void ParseTareReply(TScale& scale, const Bytes& reply);
// Copies Stable, Division and Weight out of a 5-byte legacy weight reply.
void ParseLegacyWeightReply(TScale& scale, const Bytes& reply);
// The result code of a command's acknowledgement: 2 unless exactly 8 bytes,
// 5 when its reply code is 0x15, else 0.
std::int32_t JudgeAcknowledgement(const Bytes& reply);

}  // namespace rd
