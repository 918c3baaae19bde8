#include "SimParser.h"

#include <array>
#include <cstdio>

#include "raroredoziri/Frame.h"

namespace rd::sim {
namespace {

constexpr std::size_t kHeaderSize = 5;  // F8 55 CE L 00

struct CommandInfo {
  std::uint8_t code;
  const char* name;
  std::size_t body_length;
};

constexpr std::array<CommandInfo, 16> kCommands{{
    {0xA0, "ReadWeight", 1},
    {0xA1, "ReadTare", 1},
    {0xA2, "SetGoods", 16},
    {0xA3, "SetTare", 5},
    {0xA4, "SetLabelFormat", 6},
    {0xA5, "SetLabelFormatZ", 6},
    {0xA6, "SetTape", 2},
    {0xA7, "SetUnderwinder", 2},
    {0xA8, "SetMode", 20},
    {0xA9, "SetOperator", 10},
    {0xAA, "SetText", 25},
    {0xAB, "SetGoodsButton", 121},
    {0xAC, "SetLock", 11},
    {0xAD, "SetOptions", 8},
    {0xAE, "SetFindGoods", 2},
    {0xAF, "SetScreen", 2},
}};

const CommandInfo* FindCommand(std::uint8_t code) {
  for (const auto& info : kCommands) {
    if (info.code == code) return &info;
  }
  return nullptr;
}

// A text field in double quotes; a quote, a backslash and bytes outside
// printable ASCII are escaped so that the line stays one line of ASCII.
std::string Quoted(const Bytes& body, std::size_t offset, std::size_t width) {
  std::string text = "\"";
  for (std::size_t i = offset; i < offset + width; ++i) {
    const std::uint8_t b = body[i];
    if (b == '"' || b == '\\') {
      text += '\\';
      text += static_cast<char>(b);
    } else if (b >= 0x20 && b < 0x7F) {
      text += static_cast<char>(b);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      text += hex;
    }
  }
  text += '"';
  return text;
}

std::string Field(const char* name, const std::string& value) {
  return std::string(" ") + name + "=" + value;
}

std::string List(const Bytes& body, std::size_t offset, std::size_t count) {
  std::string text = "[";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) text += ',';
    text += std::to_string(body[offset + i]);
  }
  return text + "]";
}

std::int32_t Int32Le(const Bytes& body, std::size_t offset) {
  const std::uint32_t u = static_cast<std::uint32_t>(body[offset]) |
                          static_cast<std::uint32_t>(body[offset + 1]) << 8 |
                          static_cast<std::uint32_t>(body[offset + 2]) << 16 |
                          static_cast<std::uint32_t>(body[offset + 3]) << 24;
  return static_cast<std::int32_t>(u);
}

std::string DescribeFields(const Bytes& body) {
  switch (body[0]) {
    case 0xA2:
      return Field("Goods", Quoted(body, 1, 15));
    case 0xA3:
      return Field("Tare", std::to_string(Int32Le(body, 1)));
    case 0xA4:
      return Field("LabelFormat", Quoted(body, 1, 5));
    case 0xA5:
      return Field("LabelFormatZ", Quoted(body, 1, 5));
    case 0xA6:
      return Field("Tape", std::to_string(body[1]));
    case 0xA7:
      return Field("Underwinder", std::to_string(body[1]));
    case 0xA8:
      return Field("Operation", std::to_string(body[1])) +
             Field("RegistratorStore", Quoted(body, 2, 9)) + Field("Agent", Quoted(body, 11, 9));
    case 0xA9:
      return Field("Operator", Quoted(body, 1, 9));
    case 0xAA:
      return Field("Text", Quoted(body, 1, 24));
    case 0xAB: {
      std::string text;
      for (std::size_t i = 0; i < 8; ++i) {
        const std::string name = "GoodsButton" + std::to_string(i + 1);
        text += Field(name.c_str(), Quoted(body, 1 + 15 * i, 15));
      }
      return text;
    }
    case 0xAC:
      return Field("Locks", List(body, 1, 10));
    case 0xAD:
      return Field("Options", List(body, 1, 7));
    case 0xAE:
      return Field("FindGoods", std::to_string(body[1]));
    case 0xAF:
      return Field("Screen", std::to_string(body[1]));
    default:
      return {};
  }
}

}  // namespace

Bytes ParsedRequest::Body() const {
  if (kind != RequestKind::kFrame && kind != RequestKind::kBadFrame) return {};
  if (raw.size() < kFrameOverhead + 1) return {};
  return Bytes(raw.begin() + kHeaderSize, raw.end() - 2);
}

std::uint8_t ParsedRequest::Code() const {
  if (kind != RequestKind::kFrame && kind != RequestKind::kBadFrame) return 0;
  return raw.size() > kHeaderSize ? raw[kHeaderSize] : 0;
}

void SimParser::Feed(const std::uint8_t* data, std::size_t size, std::vector<ParsedRequest>& out) {
  for (std::size_t i = 0; i < size; ++i) {
    pending_.push_back(data[i]);
    Scan(out);
  }
}

void SimParser::Resync(std::vector<ParsedRequest>& out) {
  if (pending_.empty()) return;
  Drop(1);
  Scan(out);
}

void SimParser::Drop(std::size_t count) {
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
}

// Invariant on return: pending_ is empty or holds the start of a frame that
// may still complete (header bytes so far correct, length byte not 0, second
// length byte 0, fewer bytes than the frame needs).
void SimParser::Scan(std::vector<ParsedRequest>& out) {
  while (!pending_.empty()) {
    const std::uint8_t first = pending_[0];
    if (first != kFrameHeader[0]) {
      if (first == kLegacyProbe || first == kLegacyWeight) {
        out.push_back(ParsedRequest{
            first == kLegacyProbe ? RequestKind::kLegacyProbe : RequestKind::kLegacyWeight,
            Bytes{first}});
      } else {
        ++skipped_;
      }
      Drop(1);
      continue;
    }
    const std::size_t have = pending_.size();
    const bool bad_header = (have > 1 && pending_[1] != kFrameHeader[1]) ||
                            (have > 2 && pending_[2] != kFrameHeader[2]) ||
                            (have > 3 && pending_[3] == 0) || (have > 4 && pending_[4] != 0);
    if (bad_header) {
      ++skipped_;
      Drop(1);
      continue;
    }
    if (have < kHeaderSize) return;
    const std::size_t length = pending_[3];
    const std::size_t total = length + kFrameOverhead;
    if (have < total) return;

    const std::uint16_t crc = FrameCrc16(0, pending_.data() + kHeaderSize, length);
    const bool crc_ok = pending_[kHeaderSize + length] == (crc & 0xFF) &&
                        pending_[kHeaderSize + length + 1] == (crc >> 8);
    out.push_back(ParsedRequest{crc_ok ? RequestKind::kFrame : RequestKind::kBadFrame,
                                Bytes(pending_.begin(), pending_.begin() + total)});
    Drop(total);
  }
}

std::string HexBytes(const Bytes& bytes) {
  std::string text;
  text.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
    if (i > 0) text += ' ';
    text += hex;
  }
  return text;
}

std::string CommandName(std::uint8_t code) {
  const CommandInfo* info = FindCommand(code);
  return info ? info->name : "";
}

std::size_t CommandBodyLength(std::uint8_t code) {
  const CommandInfo* info = FindCommand(code);
  return info ? info->body_length : 0;
}

std::string DescribeRequest(const ParsedRequest& request) {
  switch (request.kind) {
    case RequestKind::kLegacyProbe:
      return "Probe \"E\"";
    case RequestKind::kLegacyWeight:
      return "LegacyReadWeight \"J\"";
    case RequestKind::kBadFrame: {
      const Bytes body = request.Body();
      const std::uint16_t crc = FrameCrc16(0, body.data(), body.size());
      char text[64];
      std::snprintf(text, sizeof text, "BadChecksum expected %02X %02X", crc & 0xFF, crc >> 8);
      return text;
    }
    case RequestKind::kFrame:
      break;
  }
  const Bytes body = request.Body();
  if (body.empty()) return "Malformed";
  const CommandInfo* info = FindCommand(body[0]);
  if (info == nullptr) {
    char text[64];
    std::snprintf(text, sizeof text, "UnknownCommand Code=0x%02X Length=%zu", body[0], body.size());
    return text;
  }
  if (body.size() != info->body_length) {
    return std::string(info->name) + " Malformed Length=" + std::to_string(body.size()) +
           " Expected=" + std::to_string(info->body_length);
  }
  return info->name + DescribeFields(body);
}

}  // namespace rd::sim
