// The connection string: the channel its first character names, the port
// number after its first three characters, and OpenConnection /
// CloseConnection on any string, with a scripted port and socket behind them.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <string>

#include "FakeTransport.h"
#include "object/ConnectionString.h"
#include "raroredoziri/ErrorInfo.h"
#include "raroredoziri/Members.h"
#include "raroredoziri/Text.h"
#include "raroredoziri/Transport.h"

namespace {

using rd::fuzz::World;

// The port number grammar, written out independently of the driver's reader.
std::int32_t ReferencePortNumber(std::string_view text) {
  std::size_t i = text.find_first_not_of(' ');
  if (i == std::string_view::npos) return -1;
  text.remove_prefix(i);
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  for (std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
    if (text.substr(0, prefix.size()) == prefix) {
      base = 16;
      text.remove_prefix(prefix.size());
      break;
    }
  }
  const bool digits = !text.empty() && std::all_of(text.begin(), text.end(), [base](char c) {
    return base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : (c >= '0' && c <= '9');
  });
  if (!digits) return -1;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size()) return -1;
  if (base == 16) {
    if (value > 0xFFFFFFFFull) return -1;
    const auto bits = static_cast<std::uint32_t>(value);
    return static_cast<std::int32_t>(negative ? 0u - bits : bits);
  }
  if (negative)
    return value > 2147483648ull ? -1
                                 : static_cast<std::int32_t>(-static_cast<std::int64_t>(value));
  return value > 2147483647ull ? -1 : static_cast<std::int32_t>(value);
}

std::int32_t Method(rd::TScale& scale, std::string_view name, std::int32_t& result) {
  rd::MemberValue value;
  const rd::MemberInfo* member = rd::FindMember(rd::DispidOfName(name), rd::MemberKind::Method);
  const std::int32_t status = rd::InvokeMember(scale, *member, value);
  if (status == rd::kStatusOk) result = std::get<std::int32_t>(value);
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string narrow = input.ConsumeRandomLengthString(80);

  // The port number reader against the grammar.
  RD_FUZZ_CHECK(rd::ReadPortNumber(narrow) == ReferencePortNumber(narrow));

  // A wide connection string: pairs of bytes as UTF-16 code units, with the
  // usual prefixes made likely.
  std::u16string connection;
  switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
      connection = u"COM";
      break;
    case 1:
      connection = u"C";
      break;
    default:
      break;
  }
  for (char c : narrow) connection.push_back(static_cast<unsigned char>(c));
  if (input.ConsumeBool() && connection.size() > 4)
    connection[4] = input.ConsumeIntegral<char16_t>();

  const rd::Channel channel = rd::ChannelOf(connection);
  const char16_t first = connection.empty() ? u'\0' : connection.front();
  RD_FUZZ_CHECK((channel == rd::Channel::Serial) == (first == u'C'));
  RD_FUZZ_CHECK((channel == rd::Channel::Tcp) == (first >= u'0' && first <= u'9'));

  // OpenConnection and CloseConnection on it, through the member guard.
  rd::fuzz::Install(input, input.ConsumeIntegral<std::uint32_t>());
  World().scripted_setup = input.ConsumeBool();
  rd::TScale scale;
  scale.Connection = connection;
  const std::string kind_before = scale.ProtocolKind;
  std::int32_t result = -100;
  const std::int32_t status = Method(scale, "OpenConnection", result);

  std::optional<std::int32_t> port;
  if (channel == rd::Channel::Serial && connection.size() >= 4) {
    port = ReferencePortNumber(rd::WideToAnsi(std::u16string_view(connection).substr(3)));
  }
  const bool out_of_range = port && *port != -1 && (*port < 0 || *port > 65535);
  if (out_of_range) {
    RD_FUZZ_CHECK(status == rd::kStatusUnexpected);
    const auto error = rd::TakeErrorInfo();
    RD_FUZZ_CHECK(error && error->description == u"Range check error");
    RD_FUZZ_CHECK(!rd::ComIsOpen());
  } else if (status == rd::kStatusOk) {
    RD_FUZZ_CHECK(result == 0 || result == 1 || result == 2);
    if (channel == rd::Channel::None || (port && *port == -1) ||
        (channel == rd::Channel::Serial && !port)) {
      RD_FUZZ_CHECK(result == 1);
      RD_FUZZ_CHECK(World().serial_written.empty() && World().tcp_sent.empty());
    }
    if (port && *port >= 0 && result != 1) RD_FUZZ_CHECK(rd::ComPortNumber() == *port);
    if (channel == rd::Channel::Serial && result == 0) {
      RD_FUZZ_CHECK(scale.ProtocolKind == "2" || scale.ProtocolKind == "New");
    } else {
      RD_FUZZ_CHECK(scale.ProtocolKind == kind_before);
    }
  } else {
    // Only a socket error while sending the TCP probe may escape.
    RD_FUZZ_CHECK(channel == rd::Channel::Tcp);
    RD_FUZZ_CHECK(rd::TakeErrorInfo().has_value());
  }

  const std::int32_t close_status = Method(scale, "CloseConnection", result);
  RD_FUZZ_CHECK(close_status == rd::kStatusOk);
  const bool closes =
      channel == rd::Channel::Tcp || (channel == rd::Channel::Serial && connection.size() >= 4);
  RD_FUZZ_CHECK(result == (closes ? 0 : 1));
  if (closes && channel == rd::Channel::Serial) RD_FUZZ_CHECK(!rd::ComIsOpen());
  if (closes && channel == rd::Channel::Tcp) RD_FUZZ_CHECK(!rd::TcpHasClient());
  rd::fuzz::ResetChannels();
  return 0;
}
