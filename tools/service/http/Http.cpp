#include "Http.h"

namespace rd::service {
namespace {

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (SameLetters(key, name)) return value;
  }
  return std::nullopt;
}

std::string HttpRequest::Param(const std::string& name) const {
  const auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

std::string DecodeUrl(std::string_view text, bool plus) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += plus && c == '+' ? ' ' : c;
  }
  return out;
}

std::multimap<std::string, std::string> ParseQuery(std::string_view query) {
  std::multimap<std::string, std::string> params;
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    if (pair.empty()) continue;
    const auto eq = pair.find('=');
    params.emplace(DecodeUrl(pair.substr(0, eq), true), eq == std::string_view::npos
                                                            ? std::string()
                                                            : DecodeUrl(pair.substr(eq + 1), true));
  }
  return params;
}

}  // namespace rd::service
