// Who may reach a scale: the trust decision's edge cases, then the whole
// matrix Host x Origin/Sec-Fetch-Site x Content-Type x method x token over
// HTTP against the simulated scale, which must receive no command from any
// refused cell; the allowed sites changed while the service runs and saved
// to its configuration file (these two against the Windows build under wine
// as well: ServiceUnderTest.h). Loopback addresses 127.83.0.x.
#include "Trust.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "ServiceUnderTest.h"
#include "SimScale.h"

namespace rd::service {
namespace {

using namespace std::chrono_literals;

// A request in one line: null leaves a header out.
struct DecisionCase {
  const char* what;
  const char* method;
  const char* path;
  const char* host;
  const char* origin;
  const char* site;  // Sec-Fetch-Site
  const char* type;  // Content-Type
  const char* authorization;
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
  const char* h = "localhost:8080";
  const char* t = "Bearer tok";
  const char* pos = "https://pos.example";
  const std::vector<DecisionCase> cases = {
      {"upper-case host", "GET", "/scales", "LOCALHOST:8080", 0, 0, 0, t, 0, 0},
      {"v6 loopback", "GET", "/scales", "[::1]:8080", 0, 0, 0, t, 0, 0},
      {"listen address", "GET", "/scales", "127.0.0.5:8080", 0, 0, 0, t, 0, 0},
      {"listed name", "GET", "/scales", "till.lan:8080", 0, 0, 0, t, 0, 0},
      {"listed name and port", "GET", "/scales", "proxy.lan:443", 0, 0, 0, t, 0, 0},
      {"listed name, other port", "GET", "/scales", "till.lan:8081", 0, 0, 0, t, 403, 0},
      {"no port", "GET", "/scales", "127.0.0.1", 0, 0, 0, t, 403, 0},
      {"every interface", "GET", "/scales", "0.0.0.0:8080", 0, 0, 0, t, 403, 0},
      {"trailing dot", "GET", "/scales", "localhost.:8080", 0, 0, 0, t, 403, 0},
      {"suffix", "GET", "/scales", "localhost.evil.example:8080", 0, 0, 0, t, 403, 0},
      {"no host", "GET", "/scales", 0, 0, 0, 0, t, 403, 0},
      {"lower-case scheme", "GET", "/scales", h, 0, 0, 0, "bearer  tok ", 0, 0},
      {"other scheme", "GET", "/scales", h, 0, 0, 0, "Basic tok", 401, 0},
      {"token prefix", "GET", "/scales", h, 0, 0, 0, "Bearer to", 401, 0},
      {"origin normalised", "GET", "/scales", h, "HTTPS://POS.example:443", 0, 0, t, 0,
       "HTTPS://POS.example:443"},
      {"origin with a path", "GET", "/scales", h, "https://pos.example/x", 0, 0, t, 403,
       "https://pos.example/x"},
      {"origin null", "GET", "/scales", h, "null", 0, 0, t, 403, "null"},
      {"own origin, other name", "GET", "/scales", h, "http://127.0.0.1:8080", 0, 0, t, 403,
       "http://127.0.0.1:8080"},
      {"same-site without origin", "GET", "/scales", h, 0, "same-site", 0, t, 403, 0},
      {"typed address", "GET", "/scales", h, 0, "none", 0, t, 0, 0},
      {"allowed sites, listed origin", "GET", "/allowed-sites", h, pos, 0, 0, t, 403, pos},
      {"allowed sites, own page", "POST", "/allowed-sites/add", h, "http://localhost:8080",
       "same-origin", "Application/JSON; charset=utf-8", t, 0, 0},
      {"client script, any origin, no token", "GET", "/raroredoziri.js", h, "https://other.example",
       0, 0, 0, 0, "https://other.example"},
      {"pre-flight, listed", "OPTIONS", "/scales", h, pos, "cross-site", 0, 0, 204, pos},
      {"pre-flight, not from a page", "OPTIONS", "/scales", h, 0, 0, 0, t, 403, 0},
      {"form post", "POST", "/scales", h, 0, 0, "application/x-www-form-urlencoded", t, 415, 0},
      {"json look-alike", "POST", "/scales", h, 0, 0, "application/jsonp", t, 415, 0},
  };
  auto optional = [](const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
  };
  for (const DecisionCase& c : cases) {
    TrustRequest r;
    r.method = c.method;
    r.path = c.path;
    r.host = optional(c.host);
    r.origin = optional(c.origin);
    r.sec_fetch_site = optional(c.site);
    r.content_type = optional(c.type);
    r.authorization = optional(c.authorization);
    r.private_network_preflight = c.status == 204;
    const TrustDecision d = DecideTrust(r, s);
    EXPECT_EQ(d.status, c.status) << c.what << ": " << d.body;
    std::string allow;
    bool private_network = false;
    for (const auto& [name, value] : d.headers) {
      if (name == "Access-Control-Allow-Origin") allow = value;
      if (name == "Access-Control-Allow-Private-Network") private_network = true;
    }
    EXPECT_EQ(allow, c.allow_origin ? c.allow_origin : "") << c.what;
    EXPECT_EQ(private_network, c.status == 204) << c.what;
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
  ServiceUnderTest service(options);
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

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(AllowedSitesTest, ChangedAtOnceAndSavedAtomically) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("rd-sites-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string file = (dir / "service.json").string();
  std::ofstream(file) << R"({"port": 0, "cors_origins": ["https://a.example"], "poll_rate": 7,
                            "scales": [{"name": "s", "connection": "127.83.0.2"}]})";
  chmod(file.c_str(), 0640);
  ServiceOptions options;
  std::string message;
  ASSERT_EQ(ParseArguments({"--config", file}, options, message), ParseResult::kRun) << message;
  ServiceUnderTest service(options);
  ASSERT_TRUE(service.Start(message)) << message;
  httplib::Client client("127.0.0.1", service.Port());

  struct Step {
    const char* route;
    const char* origin;
    bool block_save;  // a directory where the new file goes
    int status;
    std::vector<std::string> origins;  // the allowed sites afterwards
  };
  const std::vector<Step> steps = {
      {"add", "HTTPS://B.example:443", false, 200, {"https://a.example", "https://b.example"}},
      {"add", "https://b.example", false, 200, {"https://a.example", "https://b.example"}},
      {"add", "https://c.example", true, 500, {"https://a.example", "https://b.example"}},
      {"remove", "https://a.example", false, 200, {"https://b.example"}},
      {"add", "ftp://d.example", false, 400, {"https://b.example"}},
  };
  for (const Step& step : steps) {
    if (step.block_save) std::filesystem::create_directory(file + ".new");
    const auto res =
        client.Post((std::string("/allowed-sites/") + step.route).c_str(),
                    nlohmann::json{{"origin", step.origin}}.dump(), "application/json");
    std::filesystem::remove(file + ".new");
    ASSERT_TRUE(res);
    const std::string what = std::string(step.route) + " " + step.origin + ": " + res->body;
    EXPECT_EQ(res->status, step.status) << what;
    if (step.block_save) {
      EXPECT_NE(res->body.find("not saved"), std::string::npos) << what;
    }
    const auto saved = nlohmann::json::parse(ReadFile(file));
    EXPECT_EQ(saved["cors_origins"], step.origins) << what;
    EXPECT_EQ(saved["poll_rate"], 7) << "the other keys stay";
    EXPECT_EQ(nlohmann::json::parse(client.Get("/allowed-sites")->body)["origins"], step.origins);
    struct stat after {};
    stat(file.c_str(), &after);
    // The file's mode is a POSIX matter (a Windows program keeps no mode).
    if (!ServiceUnderTest::External()) {
      EXPECT_EQ(after.st_mode & 0777, 0640u) << what;
    }
    // The change holds for the next request, without a restart.
    for (const std::string origin : {"https://a.example", "https://b.example"}) {
      const bool listed =
          std::find(step.origins.begin(), step.origins.end(), origin) != step.origins.end();
      EXPECT_EQ(client.Get("/scales", {{"Origin", origin}})->status, listed ? 200 : 403) << what;
    }
  }
  service.Stop();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace rd::service
