#include "object/ConnectionString.h"

namespace rd {

Channel ChannelOf(std::u16string_view connection) {
  if (connection.empty()) return Channel::None;
  const char16_t first = connection.front();
  if (first == u'C') return Channel::Serial;
  if (first >= u'0' && first <= u'9') return Channel::Tcp;
  return Channel::None;
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::int32_t ReadPortNumber(std::string_view text) {
  constexpr std::int32_t kInvalid = -1;
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::string_view rest = text.substr(i);
  bool hex = false;
  if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')) {
    hex = true;
    rest.remove_prefix(1);
  } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
    hex = true;
    rest.remove_prefix(2);
  }
  if (rest.empty()) return kInvalid;

  if (hex) {
    std::uint64_t value = 0;
    for (char c : rest) {
      const int digit = HexDigit(c);
      if (digit < 0) return kInvalid;
      value = value * 16 + static_cast<unsigned>(digit);
      if (value > 0xFFFFFFFFull) return kInvalid;
    }
    std::uint32_t bits = static_cast<std::uint32_t>(value);
    if (negative) bits = 0u - bits;
    return static_cast<std::int32_t>(bits);
  }

  std::int64_t value = 0;
  for (char c : rest) {
    if (c < '0' || c > '9') return kInvalid;
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) return kInvalid;
  }
  if (negative) value = -value;
  if (value > 2147483647LL) return kInvalid;
  return static_cast<std::int32_t>(value);
}

}  // namespace rd
