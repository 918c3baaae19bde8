// Who may reach a scale: the trust decision's edge cases, then the whole
// matrix Host x Origin/Sec-Fetch-Site x Content-Type x method x token over
// HTTP against the simulated scale, which must receive no command from any
// refused cell. Loopback address 127.83.0.1.
#include "Trust.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <set>

#include "Service.h"
#include "SimScale.h"

namespace rd::service {
namespace {

using namespace std::chrono_literals;

struct DecisionCase {
  const char* what;
  TrustRequest request;
  int status;
  const char* allow_origin;  // the Access-Control-Allow-Origin wanted, or null for none
};

TEST(TrustTest, EdgeCases) {
  TrustSettings s;
  s.listen = "127.0.0.5";
  s.port = 8080;
  s.allowed_hosts = {"till.lan", "proxy.lan:443"};
  s.cors_origins = {"https://pos.example"};
  s.token = "tok";
  const std::string bearer = "Bearer tok";
  auto get = [&](std::string host) {
    TrustRequest r;
    r.method = "GET";
    r.path = "/scales";
    r.host = std::move(host);
    r.authorization = bearer;
    return r;
  };
  auto with = [](TrustRequest r, auto change) {
    change(r);
    return r;
  };
  const std::vector<DecisionCase> cases = {
      {"upper-case host", get("LOCALHOST:8080"), 0, nullptr},
      {"v6 loopback", get("[::1]:8080"), 0, nullptr},
      {"listen address", get("127.0.0.5:8080"), 0, nullptr},
      {"listed name", get("till.lan:8080"), 0, nullptr},
      {"listed name and port", get("proxy.lan:443"), 0, nullptr},
      {"listed name, other port", get("till.lan:8081"), 403, nullptr},
      {"no port", get("127.0.0.1"), 403, nullptr},
      {"other port", get("127.0.0.1:1"), 403, nullptr},
      {"every interface", get("0.0.0.0:8080"), 403, nullptr},
      {"trailing dot", get("localhost.:8080"), 403, nullptr},
      {"suffix", get("localhost.evil.example:8080"), 403, nullptr},
      {"no host", with(get(""), [](auto& r) { r.host.reset(); }), 403, nullptr},
      {"lower-case scheme",
       with(get("localhost:8080"), [](auto& r) { r.authorization = "bearer  tok "; }), 0, nullptr},
      {"other scheme", with(get("localhost:8080"), [](auto& r) { r.authorization = "Basic tok"; }),
       401, nullptr},
      {"token prefix", with(get("localhost:8080"), [](auto& r) { r.authorization = "Bearer to"; }),
       401, nullptr},
      {"origin normalised",
       with(get("localhost:8080"), [](auto& r) { r.origin = "HTTPS://POS.example:443"; }), 0,
       "HTTPS://POS.example:443"},
      {"origin with a path",
       with(get("localhost:8080"), [](auto& r) { r.origin = "https://pos.example/x"; }), 403,
       "https://pos.example/x"},
      {"origin null", with(get("localhost:8080"), [](auto& r) { r.origin = "null"; }), 403, "null"},
      {"own origin, other name",
       with(get("localhost:8080"), [](auto& r) { r.origin = "http://127.0.0.1:8080"; }), 403,
       "http://127.0.0.1:8080"},
      {"same-site without origin",
       with(get("localhost:8080"), [](auto& r) { r.sec_fetch_site = "same-site"; }), 403, nullptr},
      {"typed address", with(get("localhost:8080"), [](auto& r) { r.sec_fetch_site = "none"; }), 0,
       nullptr},
      {"allowed sites: listed origin",
       with(get("localhost:8080"),
            [](auto& r) {
              r.path = "/allowed-sites";
              r.origin = "https://pos.example";
            }),
       403, "https://pos.example"},
      {"allowed sites: own page",
       with(get("localhost:8080"),
            [](auto& r) {
              r.path = "/allowed-sites/add";
              r.method = "POST";
              r.content_type = "Application/JSON; charset=utf-8";
              r.origin = "http://localhost:8080";
              r.sec_fetch_site = "same-origin";
            }),
       0, nullptr},
      {"client script from anywhere, no token",
       with(get("localhost:8080"),
            [](auto& r) {
              r.path = "/raroredoziri.js";
              r.origin = "https://other.example";
              r.authorization.reset();
            }),
       0, "https://other.example"},
      {"pre-flight, listed",
       with(get("localhost:8080"),
            [](auto& r) {
              r.method = "OPTIONS";
              r.origin = "https://pos.example";
              r.authorization.reset();
              r.private_network_preflight = true;
            }),
       204, "https://pos.example"},
      {"pre-flight, not from a page",
       with(get("localhost:8080"), [](auto& r) { r.method = "OPTIONS"; }), 403, nullptr},
      {"form post",
       with(get("localhost:8080"),
            [](auto& r) {
              r.method = "POST";
              r.content_type = "application/x-www-form-urlencoded";
            }),
       415, nullptr},
      {"json look-alike",
       with(get("localhost:8080"),
            [](auto& r) {
              r.method = "POST";
              r.content_type = "application/jsonp";
            }),
       415, nullptr},
  };
  for (const DecisionCase& c : cases) {
    const TrustDecision d = DecideTrust(c.request, s);
    EXPECT_EQ(d.status, c.status) << c.what << ": " << d.body;
    std::string allow;
    bool private_network = false;
    for (const auto& [name, value] : d.headers) {
      if (name == "Access-Control-Allow-Origin") allow = value;
      if (name == "Access-Control-Allow-Private-Network") private_network = true;
    }
    EXPECT_EQ(allow, c.allow_origin ? c.allow_origin : "") << c.what;
    EXPECT_EQ(private_network, c.request.private_network_preflight && c.status == 204) << c.what;
    if (d.status != 0 && d.status != 204) {
      EXPECT_TRUE(nlohmann::json::parse(d.body)["error"].is_string()) << c.what;
    }
  }
  EXPECT_TRUE(SameSecret("tok", "tok"));
  for (const char* wrong : {"", "to", "tok ", "tak", "tokk"})
    EXPECT_FALSE(SameSecret(wrong, "tok"));
  EXPECT_FALSE(SameSecret("x", ""));
}

// One value of one dimension: the header values it sets and the status it
// earns on its own (0: passes).
struct Cell {
  const char* name;
  std::vector<std::pair<std::string, std::string>> headers;
  int refusal;
};

TEST(TrustMatrixTest, NothingReachesAScaleFromARefusedCell) {
  const std::string scale_address = "127.83.0.1";
  sim::SimConfig config;
  config.weight = 100;
  sim::SimScale sim(config);
  sim.Start(sim::SimEndpoints::Tcp(scale_address));
  ServiceOptions options;
  options.port = 0;
  options.scales = {{"m", scale_address}};
  options.token = "matrix-token";
  options.cors_origins = {"https://pos.example"};
  options.allowed_hosts = {"till.lan"};
  Service service(options, [](const std::string&) {});
  std::string error;
  ASSERT_TRUE(service.Start(error)) << error;
  const std::string port = std::to_string(service.Port());
  httplib::Client client("127.0.0.1", service.Port());
  for (int i = 0; i < 200; ++i) {
    const auto res = client.Get("/scales/m/weight?access_token=matrix-token");
    if (res && res->body.find("\"connected\"") != std::string::npos) break;
    std::this_thread::sleep_for(20ms);
  }

  const std::vector<Cell> hosts = {{"127.0.0.1", {{"Host", "127.0.0.1:" + port}}, 0},
                                   {"localhost", {{"Host", "localhost:" + port}}, 0},
                                   {"listed", {{"Host", "till.lan:" + port}}, 0},
                                   {"rebound", {{"Host", "evil.example:" + port}}, 403},
                                   {"other port", {{"Host", "127.0.0.1:1"}}, 403}};
  // The own origin follows the Host: filled in per cell.
  const std::vector<Cell> origins = {
      {"no origin", {}, 0},
      {"own", {{"Origin", "OWN"}, {"Sec-Fetch-Site", "same-origin"}}, 0},
      {"listed", {{"Origin", "https://pos.example"}, {"Sec-Fetch-Site", "cross-site"}}, 0},
      {"unlisted", {{"Origin", "https://evil.example"}, {"Sec-Fetch-Site", "cross-site"}}, 403},
      {"null", {{"Origin", "null"}, {"Sec-Fetch-Site", "cross-site"}}, 403},
      {"cross-site, no origin", {{"Sec-Fetch-Site", "cross-site"}}, 403}};
  const std::vector<Cell> types = {
      {"json", {{"Content-Type", "application/json"}}, 0},
      {"json+charset", {{"Content-Type", "application/json; charset=utf-8"}}, 0},
      {"text", {{"Content-Type", "text/plain"}}, 415},
      {"form", {{"Content-Type", "application/x-www-form-urlencoded"}}, 415},
      {"multipart", {{"Content-Type", "multipart/form-data; boundary=x"}}, 415}};
  const std::vector<Cell> tokens = {{"bearer", {{"Authorization", "bearer matrix-token"}}, 0},
                                    {"query", {{"QUERY", "matrix-token"}}, 0},
                                    {"none", {}, 401},
                                    {"wrong", {{"Authorization", "Bearer matrix-tokem"}}, 401}};

  std::set<std::string> sent;  // the goods texts of the cells that should reach the scale
  int index = 0;
  for (const Cell& host : hosts) {
    for (const Cell& origin : origins) {
      for (const Cell& type : types) {
        for (const bool post : {false, true}) {
          for (const Cell& token : tokens) {
            const std::string goods = "M" + std::to_string(index++);
            httplib::Headers headers;
            std::string query;
            for (const Cell* cell : {&host, &origin, &type, &token}) {
              for (const auto& [name, value] : cell->headers) {
                if (name == "QUERY") {
                  query = "?access_token=" + value;
                } else {
                  headers.emplace(name,
                                  value == "OWN" ? "http://" + host.headers[0].second : value);
                }
              }
            }
            int expected = 200;
            for (const int refusal :
                 {host.refusal, origin.refusal, token.refusal, post ? type.refusal : 0}) {
              if (refusal != 0) {
                expected = refusal;
                break;
              }
            }
            const std::string what = std::string(host.name) + " / " + origin.name + " / " +
                                     type.name + " / " + (post ? "POST" : "GET") + " / " +
                                     token.name;
            const std::string content_type = headers.find("Content-Type")->second;
            if (post) headers.erase("Content-Type");  // Post sets it
            const auto res =
                post ? client.Post(("/scales/m/commands/SetGoods" + query).c_str(), headers,
                                   "{\"Goods\":\"" + goods + "\"}", content_type.c_str())
                     : client.Get(("/scales/m/weight" + query).c_str(), headers);
            ASSERT_TRUE(res) << what;
            EXPECT_EQ(res->status, expected) << what << ": " << res->body;
            const bool cross = origin.name == std::string("listed") ||
                               (origin.refusal != 0 && headers.count("Origin") != 0);
            if (host.refusal == 0) {
              EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"),
                        cross ? headers.find("Origin")->second : "")
                  << what;
            }
            if (post && expected == 200) sent.insert(goods);
          }
        }
      }
    }
  }
  std::set<std::string> received;
  for (const sim::SimRequest& r : sim.Requests()) {
    const Bytes body = r.request.Body();
    if (body.empty() || body[0] != 0xA2) continue;
    const std::string text(body.begin(), body.end());
    const auto at = text.find('M');
    if (at == std::string::npos) continue;
    const auto end = text.find_first_not_of("0123456789", at + 1);
    received.insert(text.substr(at, end == std::string::npos ? end : end - at));
  }
  EXPECT_EQ(received, sent);
  EXPECT_EQ(sent.size(), 3u * 3u * 2u * 2u) << "cells that pass";
  service.Stop();
}

}  // namespace
}  // namespace rd::service
