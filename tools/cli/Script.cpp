#include "Script.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "Utf8.h"
#include "raroredoziri/ErrorInfo.h"
#include "raroredoziri/Members.h"
#include "raroredoziri/Transport.h"
#include "raroredoziri/WeightState.h"

namespace rd::cli {
namespace {

constexpr const char* kUsage =
    "usage: raroredoziri [options] item...\n"
    "\n"
    "Runs the items in order on one Scale object:\n"
    "  Name=Value   puts a property (Connection=COM3, Goods=Milk, Screen=1)\n"
    "  Name         calls a method or gets a property and prints Name=value\n"
    "  ReadStableWeight=MS  reads the weight until it is stable and above zero,\n"
    "               at most MS milliseconds (0..30000); prints its state:\n"
    "               ReadStableWeight=stable, or the state it was in at the\n"
    "               deadline (unstable, zero, under_zero, not_ready,\n"
    "               disconnected) and ends with exit code 3\n"
    "\n"
    "Options:\n"
    "  --device N=PATH  serial port N is the device PATH (Linux; default /dev/ttyS<N-1>)\n"
    "  --codepage CP    single-byte code page of the scale's texts (Linux; default 1252)\n"
    "  --allow-zero     ReadStableWeight also takes a steady zero\n"
    "  --watch          after the items, read the weight repeatedly on one live line\n"
    "  --interval MS    pause between two readings of --watch (default 200)\n"
    "  --count N        stop --watch after N readings (default: until Ctrl+C)\n"
    "  --list           list the members of the Scale object\n"
    "  --help           show this text\n"
    "\n"
    "Result codes: 0 done, 1 no usable connection, 2 no complete reply,\n"
    "4 not available with the legacy protocol, 5 refused by the scale.\n"
    "A failure status prints its error description and ends with exit code 1.\n"
    "Weight states: stable, unstable, zero, under_zero, not_ready, disconnected.\n"
    "Ctrl+C or SIGTERM ends the run at once, also in the middle of a call\n"
    "(exit code 130 or 143).\n"
    "\n"
    "Example:\n"
    "  raroredoziri Connection=127.0.0.1 OpenConnection ReadWeight Weight Stable \\\n"
    "               Goods=Milk SetGoods CloseConnection\n";

template <class T>
std::optional<T> ParseInteger(std::string_view text) {
  T value{};
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (begin != end && *begin == '+') ++begin;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || begin == end) return std::nullopt;
  return value;
}

// Member names are looked up without regard to case (as late binding does).
bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Show(const MemberValue& value) {
  if (const auto* i1 = std::get_if<std::int8_t>(&value)) return std::to_string(int{*i1});
  if (const auto* i4 = std::get_if<std::int32_t>(&value)) return std::to_string(*i4);
  if (const auto* text = std::get_if<std::u16string>(&value)) return Utf16ToUtf8(*text);
  return "";
}

const char* TypeName(MemberType type) {
  switch (type) {
    case MemberType::I1:
      return "I1";
    case MemberType::I4:
      return "I4";
    case MemberType::Bstr:
      return "BSTR";
  }
  return "?";
}

class Session {
 public:
  Session(std::ostream& out, std::ostream& err, const std::atomic<bool>* stop,
          std::atomic<bool>* calling)
      : out_(out), err_(err), stop_(stop), calling_(calling) {}

  int Item(const std::string& item) {
    const auto eq = item.find('=');
    const std::string name = item.substr(0, eq);
    if (eq != std::string::npos && EqualsIgnoringCase(name, "ReadStableWeight")) {
      return ReadStable(std::string_view(item).substr(eq + 1));
    }
    const std::int32_t dispid = DispidOfName(name);
    if (dispid < 0) return Usage("unknown member \"" + name + "\" (see --list)");
    if (eq != std::string::npos) return Put(dispid, name, std::string_view(item).substr(eq + 1));
    const MemberInfo* member = FindMember(dispid, MemberKind::Method);
    if (member == nullptr) member = FindMember(dispid, MemberKind::Get);
    if (member == nullptr) return Usage("\"" + name + "\" cannot be read");
    MemberValue value;
    if (const int code = Invoke(*member, value); code != kExitOk) return code;
    out_ << member->name << '=' << Show(value) << '\n' << std::flush;
    return kExitOk;
  }

  int Watch(int interval_ms, long count, const std::atomic<bool>* stop) {
    const MemberInfo& read = *FindMember(DispidOfName("ReadWeight"), MemberKind::Method);
    for (long n = 0; count == 0 || n < count; ++n) {
      if (stop != nullptr && stop->load()) break;
      MemberValue result;
      if (const int code = Invoke(read, result); code != kExitOk) return code;
      char line[128];
      const std::int32_t code = std::get<std::int32_t>(result);
      std::snprintf(line, sizeof line, "\rWeight=%-10d Division=%-3d Stable=%d  result=%d  %-12s ",
                    scale_.Weight, scale_.Division, int{scale_.Stable}, code,
                    WeightStateName(StateOfReading(code, scale_.Weight, scale_.Stable != 0)));
      out_ << line << std::flush;
      if (count != 0 && n + 1 == count) break;
      for (int waited = 0; waited < interval_ms; waited += 50) {
        if (stop != nullptr && stop->load()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(50, interval_ms - waited)));
      }
    }
    out_ << '\n';
    return kExitOk;
  }

  void AllowZero() { allow_zero_ = true; }

  int Usage(const std::string& message) {
    err_ << "raroredoziri: " << message << '\n';
    return kExitUsage;
  }

 private:
  int ReadStable(std::string_view text) {
    const auto ms = ParseInteger<int>(text);
    if (!ms || *ms < 0 || *ms > 30000) return Usage("ReadStableWeight takes 0..30000 milliseconds");
    const MemberInfo& read = *FindMember(DispidOfName("ReadWeight"), MemberKind::Method);
    int failed = kExitOk;
    const StableRequest request{std::chrono::milliseconds(*ms), std::chrono::milliseconds(100),
                                allow_zero_, std::nullopt};
    const StableOutcome outcome = StableWait(request).Run([&]() -> StableSample {
      if (stop_ != nullptr && stop_->load()) {
        failed = kExitInterrupted;
        return {};  // ends the wait
      }
      MemberValue result;
      failed = Invoke(read, result);
      if (failed != kExitOk) return {};  // ends the wait as a lost connection
      return {std::get<std::int32_t>(result), scale_.Weight, scale_.Division, scale_.Stable != 0};
    });
    if (failed != kExitOk) return failed;
    out_ << "ReadStableWeight=" << WeightStateName(outcome.state) << '\n' << std::flush;
    return outcome.end == StableEnd::kGood ? kExitOk : kExitNotStable;
  }

  int Put(std::int32_t dispid, const std::string& name, std::string_view text) {
    const MemberInfo* member = FindMember(dispid, MemberKind::Put);
    if (member == nullptr) return Usage("\"" + name + "\" is read-only");
    MemberValue value;
    switch (member->type) {
      case MemberType::I1: {
        const auto v = ParseInteger<std::int8_t>(text);
        if (!v) return Usage(name + " takes an integer from -128 to 127");
        value = *v;
        break;
      }
      case MemberType::I4: {
        const auto v = ParseInteger<std::int32_t>(text);
        if (!v) return Usage(name + " takes a 32-bit integer");
        value = *v;
        break;
      }
      case MemberType::Bstr:
        value = Utf8ToUtf16(text);
        break;
    }
    return Invoke(*member, value);
  }

  int Invoke(const MemberInfo& member, MemberValue& value) {
    if (calling_ != nullptr) calling_->store(true);
    const std::int32_t status = InvokeMember(scale_, member, value);
    if (calling_ != nullptr) calling_->store(false);
    if (status == kStatusOk) return kExitOk;
    const auto error = TakeErrorInfo();
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(status));
    err_ << member.name << ": " << (error ? Utf16ToUtf8(error->description) : std::string("failed"))
         << " (status " << code << ")\n";
    return kExitFailureStatus;
  }

  std::ostream& out_;
  std::ostream& err_;
  const std::atomic<bool>* stop_;
  std::atomic<bool>* calling_;
  TScale scale_;
  bool allow_zero_ = false;
};

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   const std::atomic<bool>* stop, std::atomic<bool>* calling) {
  Session session(out, err, stop, calling);
  std::vector<std::string> items;
  bool watch = false;
  int interval_ms = 200;
  long count = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto next = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    if (arg == "--help" || arg == "-h") {
      out << kUsage;
      return kExitOk;
    } else if (arg == "--list") {
      for (const MemberInfo& m : MemberTable()) {
        const char* kind = m.kind == MemberKind::Get   ? "get"
                           : m.kind == MemberKind::Put ? "put"
                                                       : "method";
        out << m.dispid << ' ' << m.name << ' ' << kind << ' ' << TypeName(m.type) << '\n';
      }
      return kExitOk;
    } else if (arg == "--device") {
      const auto mapping = next();
      const auto eq = mapping ? mapping->find('=') : std::string::npos;
      const auto port = eq != std::string::npos
                            ? ParseInteger<std::uint16_t>(mapping->substr(0, eq))
                            : std::nullopt;
      if (!port) return session.Usage("--device takes N=PATH");
      SetSerialDevice(*port, mapping->substr(eq + 1));
    } else if (arg == "--codepage") {
      const auto cp = next();
      const auto number = cp ? ParseInteger<unsigned>(*cp) : std::nullopt;
      if (!number) return session.Usage("--codepage takes a code page number");
      if (!SetCodePage(*number)) return session.Usage("code page " + *cp + " is not available");
    } else if (arg == "--allow-zero") {
      session.AllowZero();
    } else if (arg == "--watch") {
      watch = true;
    } else if (arg == "--interval") {
      const auto v = next();
      const auto ms = v ? ParseInteger<int>(*v) : std::nullopt;
      if (!ms || *ms < 0) return session.Usage("--interval takes milliseconds");
      interval_ms = *ms;
    } else if (arg == "--count") {
      const auto v = next();
      const auto n = v ? ParseInteger<long>(*v) : std::nullopt;
      if (!n || *n < 0) return session.Usage("--count takes a number");
      count = *n;
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      return session.Usage("unknown option " + arg);
    } else {
      items.push_back(arg);
    }
  }
  if (items.empty() && !watch) {
    err << kUsage;
    return kExitUsage;
  }
  for (const std::string& item : items) {
    if (stop != nullptr && stop->load()) return kExitInterrupted;
    if (const int code = session.Item(item); code != kExitOk) return code;
  }
  return watch ? session.Watch(interval_ms, count, stop) : kExitOk;
}

}  // namespace rd::cli
