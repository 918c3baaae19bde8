// Single-byte code page tables, built once per code page with iconv and then
// only read, so conversions take no lock.
#include <iconv.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "raroredoziri/Text.h"

namespace rd {
namespace {

constexpr char kDefaultChar = '?';

struct CodePageTable {
  unsigned number = 0;
  std::array<char16_t, 256> to_wide{};
  // Byte for each BMP code unit, or -1 when the code page lacks it.
  std::array<std::int16_t, 65536> to_byte{};
};

class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (valid()) iconv_close(cd_);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

std::unique_ptr<CodePageTable> BuildTable(unsigned number) {
  const std::string name = "CP" + std::to_string(number);
  IconvHandle decode("UTF-16LE", name.c_str());
  if (!decode.valid()) return nullptr;
  auto table = std::make_unique<CodePageTable>();
  table->number = number;
  table->to_byte.fill(-1);
  for (unsigned b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    char out[8] = {};
    char* in_ptr = &in;
    char* out_ptr = out;
    size_t in_left = 1;
    size_t out_left = sizeof out;
    iconv(decode.get(), nullptr, nullptr, nullptr, nullptr);
    const size_t rc = iconv(decode.get(), &in_ptr, &in_left, &out_ptr, &out_left);
    const size_t produced = sizeof out - out_left;
    if (rc == static_cast<size_t>(-1) && errno == EINVAL) return nullptr;  // a lead byte
    if (rc == static_cast<size_t>(-1) && in_left != 0) {
      // An undefined byte reads back as the control character of its value.
      table->to_wide[b] = static_cast<char16_t>(b);
      continue;
    }
    if (produced != 2) return nullptr;  // not a single-byte code page
    const auto unit = static_cast<char16_t>(static_cast<unsigned char>(out[0]) |
                                            (static_cast<unsigned char>(out[1]) << 8));
    table->to_wide[b] = unit;
    if (table->to_byte[unit] < 0) table->to_byte[unit] = static_cast<std::int16_t>(b);
  }
  return table;
}

std::mutex g_tables_mutex;
std::map<unsigned, std::unique_ptr<CodePageTable>>& Tables() {
  static std::map<unsigned, std::unique_ptr<CodePageTable>> tables;
  return tables;
}

const CodePageTable* LoadTable(unsigned number) {
  std::lock_guard lock(g_tables_mutex);
  auto& tables = Tables();
  auto it = tables.find(number);
  if (it != tables.end()) return it->second.get();
  auto table = BuildTable(number);
  if (!table) return nullptr;
  return tables.emplace(number, std::move(table)).first->second.get();
}

std::atomic<const CodePageTable*> g_current{nullptr};

const CodePageTable& Current() {
  const CodePageTable* table = g_current.load(std::memory_order_acquire);
  if (table == nullptr) {
    table = LoadTable(1252);
    const CodePageTable* expected = nullptr;
    if (table == nullptr) throw std::runtime_error("code page 1252 is not available");
    g_current.compare_exchange_strong(expected, table, std::memory_order_acq_rel);
    table = g_current.load(std::memory_order_acquire);
  }
  return *table;
}

char ToByte(const CodePageTable& table, char16_t unit) {
  const std::int16_t b = table.to_byte[unit];
  return b < 0 ? kDefaultChar : static_cast<char>(b);
}

}  // namespace

std::string WideToAnsi(std::u16string_view text) {
  const CodePageTable& table = Current();
  std::string out;
  out.reserve(text.size());
  for (char16_t unit : text) out.push_back(ToByte(table, unit));
  return out;
}

std::u16string AnsiToWide(std::string_view text) {
  const CodePageTable& table = Current();
  std::u16string out;
  out.reserve(text.size());
  for (char c : text) out.push_back(table.to_wide[static_cast<unsigned char>(c)]);
  return out;
}

std::string WideUnitToAnsi(char16_t unit) { return std::string(1, ToByte(Current(), unit)); }

bool SetCodePage(unsigned code_page) {
  const CodePageTable* table = LoadTable(code_page);
  if (table == nullptr) return false;
  g_current.store(table, std::memory_order_release);
  return true;
}

unsigned CodePage() { return Current().number; }

}  // namespace rd
