// Who may reach the service: one decision per request from its method, path,
// a few headers and the service's settings, before anything reaches a
// scale. Kept apart from the HTTP layer so that it can be tested cell by
// cell and carried over to another server.
//
//   1. Host: localhost, 127.0.0.1, [::1], the listen address or a listed
//      name, with the service's port; else 403 (DNS rebinding).
//   2. Origin: a request that a browser marks as coming from a page (an
//      Origin header, or Sec-Fetch-Site other than same-origin/none) needs
//      the service's own origin or a listed one (cors_origins); the
//      allowed-sites routes take only the own origin. Else 403.
//   3. OPTIONS (CORS pre-flight) of an allowed origin: 204 with the
//      Access-Control headers.
//   4. Token, when one is set: "Authorization: Bearer TOKEN" (scheme in any
//      letter case) or the access_token query parameter; else 401.
//   5. POST only with Content-Type application/json; else 415.
// /raroredoziri.js (a static script) passes 2 and 4.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rd::service {

struct TrustSettings {
  std::string listen;                      // the listen address
  int port = 0;                            // the bound port
  bool tls = false;                        // served over https
  std::vector<std::string> allowed_hosts;  // more Host names ("till.lan", "till.lan:8443")
  std::vector<std::string> cors_origins;   // normalised origins
  std::string token;                       // empty: none wanted
};

struct TrustRequest {
  std::string method;
  std::string path;  // without the query
  std::optional<std::string> host;
  std::optional<std::string> origin;
  std::optional<std::string> sec_fetch_site;
  std::optional<std::string> content_type;
  std::optional<std::string> authorization;
  std::optional<std::string> access_token;  // the query parameter
  bool private_network_preflight = false;   // Access-Control-Request-Private-Network: true
};

struct TrustDecision {
  int status = 0;    // 0: go on to the route; else answer with this status now
  std::string body;  // the JSON answer when status is not 0 (empty for 204)
  std::vector<std::pair<std::string, std::string>> headers;  // added to the answer in any case
  bool Proceed() const { return status == 0; }
};

TrustDecision DecideTrust(const TrustRequest& request, const TrustSettings& settings);

// "HTTPS://Pos.Example:443" -> "https://pos.example"; nullopt for anything
// that is not scheme://host[:port] with http or https.
std::optional<std::string> NormaliseOrigin(std::string_view origin);

// Compares in a time that does not depend on where the texts differ.
bool SameSecret(std::string_view a, std::string_view b);

// The routes that manage the allowed sites (own origin only).
inline constexpr std::string_view kAllowedSitesPath = "/allowed-sites";
// The client script for pages of other origins.
inline constexpr std::string_view kClientScriptPath = "/raroredoziri.js";

}  // namespace rd::service
