#include "Trust.h"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

namespace rd::service {
namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool ValidPort(std::string_view text) {
  int port = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  return ec == std::errc() && end == text.data() + text.size() && port > 0 && port <= 65535 &&
         text[0] != '0';
}

// A host as it appears in a Host header or an origin: a name or IPv4
// address of [a-z0-9.-_], or an IPv6 address in brackets.
bool ValidHostName(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  if (host.front() == '[') {
    return host.size() > 2 && host.back() == ']' &&
           host.substr(1, host.size() - 2).find_first_not_of("0123456789abcdef:.") ==
               std::string_view::npos;
  }
  return host.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-_") ==
             std::string_view::npos &&
         host.front() != '.' && host.back() != '.';
}

// Splits "name:port" / "[v6]:port" / "name" (lower case); false when malformed.
bool SplitHost(std::string_view text, std::string& host, std::string& port) {
  const std::string lower = Lower(text);
  const auto close = lower.rfind(']');
  const auto colon = lower.rfind(':');
  if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
    host = lower.substr(0, colon);
    port = lower.substr(colon + 1);
    if (!ValidPort(port)) return false;
  } else {
    host = lower;
    port.clear();
  }
  return ValidHostName(host);
}

std::string HostForm(const std::string& address) {
  if (address.find(':') != std::string::npos) return "[" + Lower(address) + "]";
  return Lower(address);
}

bool HostAllowed(const std::string& header, const TrustSettings& s) {
  std::string host;
  std::string port;
  if (!SplitHost(header, host, port)) return false;
  const std::string own_port = std::to_string(s.port);
  const bool default_port = s.port == (s.tls ? 443 : 80);
  const bool port_ok = port == own_port || (port.empty() && default_port);
  std::vector<std::string> names = {"localhost", "127.0.0.1", "[::1]"};
  // An address that stands for every interface is not a name a client uses.
  if (s.listen != "0.0.0.0" && s.listen != "::") names.push_back(HostForm(s.listen));
  if (port_ok && std::find(names.begin(), names.end(), host) != names.end()) return true;
  for (const std::string& entry : s.allowed_hosts) {
    std::string listed_host;
    std::string listed_port;
    if (!SplitHost(entry, listed_host, listed_port) || listed_host != host) continue;
    if (listed_port.empty() ? port_ok : listed_port == (port.empty() ? own_port : port)) {
      return true;
    }
  }
  return false;
}

bool Listed(const std::vector<std::string>& list, const std::string& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// The credentials of "Bearer TOKEN" (scheme in any case, spaces between).
std::optional<std::string_view> BearerCredentials(std::string_view header) {
  header = Trim(header);
  const auto space = header.find_first_of(" \t");
  if (space == std::string_view::npos || Lower(header.substr(0, space)) != "bearer") {
    return std::nullopt;
  }
  return Trim(header.substr(space));
}

TrustDecision Refuse(TrustDecision decision, int status, const std::string& error) {
  decision.status = status;
  decision.body = nlohmann::json{{"error", error}}.dump();
  return decision;
}

}  // namespace

bool SameSecret(std::string_view a, std::string_view b) {
  // Every byte of `a` is looked at, whatever the lengths; `b` is read
  // within its bounds only.
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  const std::size_t b_size = b.size();
  for (std::size_t i = 0; i < a.size(); ++i) {
    const unsigned char other =
        b_size == 0 ? 0 : static_cast<unsigned char>(b[i < b_size ? i : b_size - 1]);
    diff |= static_cast<unsigned char>(static_cast<unsigned char>(a[i]) ^ other);
  }
  return diff == 0;
}

std::optional<std::string> NormaliseOrigin(std::string_view origin) {
  const auto sep = origin.find("://");
  if (sep == std::string_view::npos) return std::nullopt;
  const std::string scheme = Lower(origin.substr(0, sep));
  if (scheme != "http" && scheme != "https") return std::nullopt;
  std::string host;
  std::string port;
  if (!SplitHost(origin.substr(sep + 3), host, port)) return std::nullopt;
  if ((scheme == "http" && port == "80") || (scheme == "https" && port == "443")) port.clear();
  return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

TrustDecision DecideTrust(const TrustRequest& r, const TrustSettings& s) {
  TrustDecision d;
  d.headers.emplace_back("Vary", "Origin");

  if (!r.host || !HostAllowed(*r.host, s)) {
    return Refuse(d, 403, "host not allowed: use localhost, 127.0.0.1 or a listed name");
  }

  const bool script = r.path == kClientScriptPath;
  const bool admin =
      r.path == kAllowedSitesPath || r.path.starts_with(std::string(kAllowedSitesPath) + "/");
  const std::string site = r.sec_fetch_site ? Lower(*r.sec_fetch_site) : std::string();
  const bool from_page = r.origin || (r.sec_fetch_site && site != "same-origin" && site != "none");
  bool cross_origin = false;
  if (from_page && !script) {
    const auto origin = r.origin ? NormaliseOrigin(*r.origin) : std::nullopt;
    const std::string own = std::string(s.tls ? "https" : "http") + "://" + Lower(*r.host);
    const bool same = origin && NormaliseOrigin(own) == origin &&
                      (site.empty() || site == "same-origin" || site == "none");
    const bool listed = origin && Listed(s.cors_origins, *origin);
    if (!same && (admin || !listed)) {
      // The page may read why (the text says nothing it could not know).
      if (r.origin) d.headers.emplace_back("Access-Control-Allow-Origin", *r.origin);
      return Refuse(d, 403,
                    admin
                        ? "the allowed sites are managed on the service's own page only"
                        : "origin not allowed: add it to the allowed sites on the service's page");
    }
    cross_origin = !same;
  }
  if (cross_origin || (script && r.origin)) {
    d.headers.emplace_back("Access-Control-Allow-Origin", *r.origin);
  }

  if (r.method == "OPTIONS") {
    if (!cross_origin) return Refuse(d, 403, "origin not allowed");
    d.status = 204;
    d.headers.emplace_back("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
    d.headers.emplace_back("Access-Control-Allow-Headers", "Authorization, Content-Type");
    d.headers.emplace_back("Access-Control-Max-Age", "600");
    if (r.private_network_preflight) {
      d.headers.emplace_back("Access-Control-Allow-Private-Network", "true");
    }
    return d;
  }

  if (!s.token.empty() && !script) {
    const auto bearer = r.authorization ? BearerCredentials(*r.authorization) : std::nullopt;
    const bool ok = (bearer && SameSecret(*bearer, s.token)) ||
                    (r.access_token && SameSecret(*r.access_token, s.token));
    if (!ok) {
      d.headers.emplace_back("WWW-Authenticate", "Bearer");
      return Refuse(d, 401, "missing or wrong token");
    }
  }

  if (r.method == "POST") {
    const std::string type = r.content_type
                                 ? Lower(Trim(r.content_type->substr(0, r.content_type->find(';'))))
                                 : std::string();
    if (type != "application/json") {
      return Refuse(d, 415, "a command takes a JSON body (Content-Type: application/json)");
    }
  }
  return d;
}

}  // namespace rd::service
