#include "SimOptions.h"

#include <charconv>
#include <limits>

#include "raroredoziri/Fault.h"

namespace rd::sim {
namespace {

template <typename T>
T Number(const std::string& option, const std::string& text, T low, T high, int base = 10) {
  T value{};
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    begin += 2;
  }
  const auto [ptr, ec] = std::from_chars(begin, end, value, base);
  if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) {
    throw Fault("Bad value for " + option + ": \"" + text + "\"");
  }
  return value;
}

std::uint32_t Count(const std::string& option, const std::string& text) {
  return Number<std::uint32_t>(option, text, 0, std::numeric_limits<std::uint32_t>::max());
}

std::set<std::uint8_t> Codes(const std::string& option, const std::string& text) {
  std::set<std::uint8_t> codes;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma - start);
    codes.insert(Number<std::uint8_t>(option, item, 0, 0xFF, 16));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return codes;
}

}  // namespace

std::string SimUsage() {
  return R"(Usage: raroredoziri-sim [options]
A simulated scale for development and tests. Serves a TCP listener on port
5001 and/or a pseudo-terminal; prints one line per endpoint, then "ready",
then one line per request it receives. Runs until SIGINT or SIGTERM.

Endpoints (at least one):
  --tcp ADDR         listen on ADDR:5001 (an IPv4 address, e.g. 127.0.0.9);
                     again for more scales alike, each its own, in one process
  --pty              serve a pseudo-terminal and print its slave path
  --pty-link PATH    with --pty: create a symbolic link PATH to the slave
                     (removed at exit); implies --pty

Protocol variant:
  --framed           framed protocol, 57600 baud on a pty (default)
  --legacy           legacy protocol ("E" probe, "J" weight), 4800 baud
  --any-baud         answer whatever line speed the pty is set to

Scale state:
  --weight N         weight (signed 32-bit, default 0); --legacy sends at
                     most 8388607 either way
  --division N       division code 0..255 (default 1). --legacy knows only
                     0, 1 and 2: 3..255 come out as 2, and with 0 the scale
                     sends the weight divided by 100, which the driver
                     multiplies by 100 again (1234 reads as 1200)
  --stable 0|1       stability flag (default 1)
  --tare N           tare (signed 32-bit, default 0); SetTare changes it
  --weight-step N    added to the weight after every weight reply (default 0)
  --settle-after N   a settling weight: the first N weight replies are
                     unstable and move by --weight-step, then it holds

Faults:
  --refuse LIST      command codes to refuse, hex, comma-separated (A2,A5)
  --delay MS         start every reply MS milliseconds after the request
  --split N          write every reply in N pieces
  --split-gap MS     pause between pieces (default 20)
  --extra N          append N bytes (EE) to every reply
  --silent           never answer
  --close-after N    close the connection instead of answering its Nth
                     request (a pty drops its pending output instead)
  --pace             pty: write at the line's baud rate (10 bits a byte)
  --cut-at N         cut every reply after its Nth byte, as a converter in
                     front of a serial scale may do
  --cut-gap MS       pause between the two pieces (default 60)
  --segment SEED     cut every reply at random bytes from SEED into 1..4
                     pieces, 0..100 ms apart; extra bytes travel with the
                     last piece
  --chaos SEED       random faults from SEED: delays of 1.5..4.5 s, splits,
                     extra bytes, garbage, silence, refusals, disconnects,
                     replies held back until the next request
  --chaos-percent P  with --chaos: P of 100 requests draw a fault (0..60,
                     default 60)

Run control:
  --max-requests N   exit after N requests once their replies are out
  --quiet            print only the endpoints and "ready"
  --help             this text
)";
}

SimOptions ParseSimOptions(const std::vector<std::string>& args) {
  SimOptions options;
  SimConfig& config = options.config;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw Fault("Missing value for " + option);
      return args[++i];
    };
    if (option == "--help" || option == "-h") {
      options.help = true;
    } else if (option == "--tcp") {
      if (options.endpoints.tcp_address.empty()) {
        options.endpoints.tcp_address = value();
      } else {
        options.more_tcp.push_back(value());
      }
    } else if (option == "--pty") {
      options.endpoints.pty = true;
    } else if (option == "--pty-link") {
      options.endpoints.pty = true;
      options.endpoints.pty_link = value();
      if (options.endpoints.pty_link.empty()) throw Fault("Bad value for --pty-link: \"\"");
    } else if (option == "--framed") {
      config.variant = SimVariant::kFramed;
    } else if (option == "--legacy") {
      config.variant = SimVariant::kLegacy;
    } else if (option == "--any-baud") {
      config.check_baud = false;
    } else if (option == "--weight") {
      config.weight =
          Number<std::int32_t>(option, value(), std::numeric_limits<std::int32_t>::min(),
                               std::numeric_limits<std::int32_t>::max());
    } else if (option == "--division") {
      config.division = Number<std::uint8_t>(option, value(), 0, 255);
    } else if (option == "--stable") {
      config.stable = Number<int>(option, value(), 0, 1) == 1;
    } else if (option == "--tare") {
      config.tare = Number<std::int32_t>(option, value(), std::numeric_limits<std::int32_t>::min(),
                                         std::numeric_limits<std::int32_t>::max());
    } else if (option == "--weight-step") {
      config.weight_step =
          Number<std::int32_t>(option, value(), std::numeric_limits<std::int32_t>::min(),
                               std::numeric_limits<std::int32_t>::max());
    } else if (option == "--settle-after") {
      config.settle_after = Count(option, value());
    } else if (option == "--refuse") {
      config.refused = Codes(option, value());
    } else if (option == "--delay") {
      config.delay_ms = Count(option, value());
    } else if (option == "--split") {
      config.split = Number<std::uint32_t>(option, value(), 1, 262);
    } else if (option == "--split-gap") {
      config.split_gap_ms = Count(option, value());
    } else if (option == "--extra") {
      config.extra = Number<std::uint32_t>(option, value(), 0, 4096);
    } else if (option == "--silent") {
      config.silent = true;
    } else if (option == "--close-after") {
      config.close_after = Count(option, value());
    } else if (option == "--pace") {
      config.pace = true;
    } else if (option == "--chaos") {
      config.chaos_seed =
          Number<std::uint64_t>(option, value(), 0, std::numeric_limits<std::uint64_t>::max());
    } else if (option == "--cut-at") {
      config.cut_at = Number<std::uint32_t>(option, value(), 1, 4096);
    } else if (option == "--cut-gap") {
      config.cut_gap_ms = Count(option, value());
    } else if (option == "--segment") {
      config.segment_seed =
          Number<std::uint64_t>(option, value(), 0, std::numeric_limits<std::uint64_t>::max());
    } else if (option == "--chaos-percent") {
      config.chaos_percent = Number<std::uint32_t>(option, value(), 0, 60);
    } else if (option == "--max-requests") {
      config.max_requests = Count(option, value());
    } else if (option == "--quiet") {
      options.quiet = true;
    } else {
      throw Fault("Unknown option: " + option);
    }
  }
  if (!options.help && options.endpoints.tcp_address.empty() && !options.endpoints.pty) {
    throw Fault("Nothing to serve: give --tcp ADDR and/or --pty");
  }
  return options;
}

}  // namespace rd::sim
