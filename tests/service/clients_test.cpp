// Clients that send slowly, not at all, too much or oddly framed requests:
// others are still answered, and each gets its bounded answer. Then https
// with a certificate made here (the Windows build has no TLS; the rest runs
// against it under wine as well: ServiceUnderTest.h). Loopback addresses
// 127.84.0.x.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "Service.h"
#include "ServiceUnderTest.h"
#include "SimScale.h"

namespace rd::service {
namespace {

using namespace std::chrono_literals;

// A connection to the service from `from` (a loopback address of its own).
class Raw {
 public:
  Raw(const std::string& from, int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &a.sin_addr);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Raw() { close(fd_); }
  bool Ok() const { return ok_; }
  void Send(const std::string& text) { send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }
  // What arrives within `wait` or until the service closes.
  std::string Receive(std::chrono::milliseconds wait) {
    std::string text;
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return text;
      char chunk[4096];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) {
        closed_ = true;
        return text;
      }
      text.append(chunk, static_cast<std::size_t>(n));
    }
  }
  bool Closed() const { return closed_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
  bool closed_ = false;
};

class ClientsTest : public ::testing::Test {
 protected:
  void Start(ServiceOptions options) {
    sim_ = std::make_unique<sim::SimScale>(sim::SimConfig{});
    sim_->Start(sim::SimEndpoints::Tcp("127.84.0.1"));
    options.port = 0;
    options.scales = {{"g", "127.84.0.1"}};
    service_ = std::make_unique<ServiceUnderTest>(options, [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(log_mutex_);
      log_ += line + "\n";
    });
    std::string error;
    ASSERT_TRUE(service_->Start(error)) << error;
  }
  int Port() const { return service_->Port(); }

  std::mutex log_mutex_;  // before the service, which logs as it ends
  std::string log_;
  std::unique_ptr<sim::SimScale> sim_;
  std::unique_ptr<ServiceUnderTest> service_;
};

TEST_F(ClientsTest, SlowAndIdleClientsLeaveRoomForOthers) {
  ServiceOptions options;
  options.limits.request = 1500ms;
  options.limits.per_address = 128;
  Start(options);
  // 200 clients that trickle a request head and 200 that send nothing, from
  // four addresses; more than an address may hold from a fifth.
  std::vector<std::unique_ptr<Raw>> slow;
  std::vector<std::unique_ptr<Raw>> idle;
  for (int i = 0; i < 200; ++i) {
    slow.push_back(std::make_unique<Raw>(i % 2 ? "127.84.0.2" : "127.84.0.3", Port()));
    idle.push_back(std::make_unique<Raw>(i % 2 ? "127.84.0.4" : "127.84.0.5", Port()));
    ASSERT_TRUE(slow.back()->Ok() && idle.back()->Ok());
    slow.back()->Send("G");
  }
  std::vector<std::unique_ptr<Raw>> crowd;
  for (int i = 0; i < 130; ++i) crowd.push_back(std::make_unique<Raw>("127.84.0.6", Port()));

  httplib::Client client("127.0.0.1", Port());
  client.set_read_timeout(5, 0);
  for (int round = 0; round < 2; ++round) {
    for (auto& s : slow) s->Send(round == 0 ? "E" : "T");
    const auto res = client.Get("/scales");
    ASSERT_TRUE(res) << "round " << round;
    EXPECT_EQ(res->status, 200);
    std::this_thread::sleep_for(300ms);
  }
  // The crowd's two oldest gave way to its two newest.
  EXPECT_EQ(crowd[0]->Receive(1s), "");
  EXPECT_TRUE(crowd[0]->Closed());
  EXPECT_FALSE((crowd[129]->Receive(50ms), crowd[129]->Closed()));
  // A request that has not arrived within its time is answered 408.
  const std::string late = slow[0]->Receive(3s);
  EXPECT_NE(late.find("408"), std::string::npos) << late;
  EXPECT_TRUE(slow[0]->Closed());
}

struct FramingCase {
  std::string request;
  const char* answer;  // a part of the whole answer
};

TEST_F(ClientsTest, OddlyFramedRequests) {
  Start(ServiceOptions{});
  const std::string host = "Host: 127.0.0.1:" + std::to_string(Port()) + "\r\n";
  const std::string scales = "GET /scales HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n";
  const std::vector<FramingCase> cases = {
      {"GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n", "431"},
      {"POST /scales/g/commands/SetGoods HTTP/1.1\r\n" + host +
           "Content-Type: application/json\r\nContent-Length: 99999999999999999999999\r\n\r\n",
       "413"},
      {"POST /scales/g/commands/SetGoods HTTP/1.1\r\n" + host +
           "Content-Type: application/json\r\nTransfer-Encoding: "
           "chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n",
       "411"},
      {"POST /scales/g/commands/SetGoods HTTP/1.1\r\n" + host +
           "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}",
       "400"},
      // Two requests at once, the first refused before its body was read:
      // both are answered, each once.
      {"POST /scales/g/commands/SetGoods HTTP/1.1\r\n" + host +
           "Content-Type: text/plain\r\nContent-Length: 14\r\n\r\n{\"Goods\":\"x\"}\n" + scales,
       "HTTP/1.1 415"},
      {"POST /allowed-sites/add HTTP/1.1\r\n" + host +
           "Content-Type: application/json\r\nExpect: 100-continue\r\nContent-Length: 10\r\n\r\n",
       "100 Continue"},
  };
  for (const FramingCase& c : cases) {
    Raw raw("127.84.0.7", Port());
    raw.Send(c.request);
    const std::string answer = raw.Receive(1s);
    EXPECT_NE(answer.find(c.answer), std::string::npos) << c.request.substr(0, 60) << answer;
    if (c.request.find(scales) != std::string::npos) {
      EXPECT_NE(answer.find("{\"scales\""), std::string::npos) << answer;
    }
  }
}

TEST_F(ClientsTest, HttpsWithTheConfiguredCertificate) {
  const auto dir = std::filesystem::temp_directory_path() / ("rd-tls-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string cert = (dir / "cert.pem").string();
  const std::string key = (dir / "key.pem").string();
  const std::string make =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
      "-keyout " +
      key + " -out " + cert + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0) << "needs Debian's openssl";

  ServiceOptions wrong;
  wrong.tls_cert = cert;
  wrong.tls_key = cert;  // not a key
  Service refused(wrong, {});
  std::string error;
  EXPECT_FALSE(refused.Start(error));
  EXPECT_NE(error.find("cannot use the key"), std::string::npos) << error;

  ServiceOptions options;
  options.tls_cert = cert;
  options.tls_key = key;
  options.token = "tls-secret-token";
  Start(options);
  httplib::SSLClient tls("127.0.0.1", Port());
  tls.enable_server_certificate_verification(false);
  tls.set_read_timeout(5, 0);
  for (const auto& [token, status] :
       {std::pair{"tls-secret-token", 200}, {"tls-secret-tokem", 401}}) {
    const auto res = tls.Get("/scales", {{"Authorization", std::string("Bearer ") + token}});
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, status);
  }
  httplib::Client plain("127.0.0.1", Port());
  plain.set_read_timeout(2, 0);
  const auto res = plain.Get("/scales");
  EXPECT_TRUE(!res || res->status != 200) << "plain HTTP on the https port";
  service_->Stop();
  std::lock_guard<std::mutex> lock(log_mutex_);
  EXPECT_NE(log_.find("https://"), std::string::npos) << log_;
  EXPECT_EQ(log_.find("tls-secret"), std::string::npos) << "no token in the log";
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace rd::service
