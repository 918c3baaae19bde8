// The command-line host, run in-process against the simulated scale.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "Script.h"
#include "SessionFixture.h"

namespace rd::test {
namespace {

struct CliRun {
  int code;
  std::string out;
  std::string err;
};

CliRun Cli(std::vector<std::string> args) {
  std::ostringstream out, err;
  const int code = cli::RunCommandLine(args, out, err);
  return {code, out.str(), err.str()};
}

class CliTest : public SessionTest {};

TEST_F(CliTest, FullSessionOverTcp) {
  sim::SimConfig c;
  c.weight = 1500;
  c.division = 2;
  c.tare = 30;
  ServeTcp(c, "127.22.0.1");
  const CliRun r = Cli({"Connection=127.22.0.1", "OpenConnection", "ReadWeight", "Weight",
                        "Division", "Stable", "ReadTare", "Tare", "Goods=Milk", "SetGoods",
                        "Screen=1", "SetScreen", "CloseConnection"});
  EXPECT_EQ(r.code, cli::kExitOk) << r.err;
  EXPECT_EQ(r.out,
            "OpenConnection=0\nReadWeight=0\nWeight=1500\nDivision=2\nStable=1\nReadTare=0\n"
            "Tare=30\nSetGoods=0\nSetScreen=0\nCloseConnection=0\n");
  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_NE(requests[3].description.find("Milk"), std::string::npos) << requests[3].description;
}

TEST_F(CliTest, NamesAreLookedUpLikeLateBinding) {
  const CliRun r = Cli({"goods=Käse", "GOODS", "text=Käse", "Text", "weight"});
  EXPECT_EQ(r.code, cli::kExitOk) << r.err;
  EXPECT_EQ(r.out, "Goods=Käse\nText=Käse\nWeight=0\n");
}

TEST_F(CliTest, FailureStatusPrintsTheDescriptionAndStops) {
  const CliRun r = Cli({"Screen=-1", "Screen"});
  EXPECT_EQ(r.code, cli::kExitFailureStatus);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Range check error"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("0x8000FFFF"), std::string::npos) << r.err;
}

TEST_F(CliTest, ResultCodesAreNotFailures) {
  const CliRun r = Cli({"Connection=com1", "OpenConnection", "SetGoods"});
  EXPECT_EQ(r.code, cli::kExitOk);
  EXPECT_EQ(r.out, "OpenConnection=1\nSetGoods=1\n");
}

TEST_F(CliTest, UsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"NoSuchMember"},
      {"Weight=5"},    // read-only
      {"Screen=200"},  // does not fit I1
      {"Tare=12abc"},
      {"--device", "x"},
      {"--codepage", "932"},  // not single-byte
      {"--bogus"},
      {"ReadStableWeight=abc"},
      {"ReadStableWeight=30001"},
  };
  for (const auto& args : cases) {
    const CliRun r = Cli(args);
    EXPECT_EQ(r.code, cli::kExitUsage) << (args.empty() ? "" : args[0]);
    EXPECT_FALSE(r.err.empty());
  }
}

TEST_F(CliTest, ListAndHelp) {
  const CliRun list = Cli({"--list"});
  EXPECT_EQ(list.code, 0);
  EXPECT_NE(list.out.find("201 Connection get BSTR\n201 Connection put BSTR\n"), std::string::npos);
  EXPECT_NE(list.out.find("260 SetScreen method I4\n"), std::string::npos);
  EXPECT_EQ(Cli({"--help"}).code, 0);
}

TEST_F(CliTest, DeviceMapAndCodePage) {
  sim::SimConfig c;
  c.variant = sim::SimVariant::kLegacy;
  c.weight = 42;
  ServeSerial(c, 21);
  const std::string path = Sim().PtyPath();
  SetSerialDevice(21, "");
  const CliRun r =
      Cli({"--device", "21=" + path, "--codepage", "1251", "Connection=COM21", "OpenConnection",
           "ReadWeight", "Weight", "Text=\xD0\x96", "CloseConnection"});
  EXPECT_EQ(r.code, cli::kExitOk) << r.err;
  EXPECT_EQ(r.out, "OpenConnection=0\nReadWeight=0\nWeight=42\nCloseConnection=0\n");
  EXPECT_EQ(WideToAnsi(u"\u0416"), "\xC6") << "code page 1251 is in force";
  ASSERT_TRUE(SetCodePage(1252));
}

TEST_F(CliTest, WatchShowsOneLiveLine) {
  sim::SimConfig c;
  c.weight = 10;
  c.weight_step = 5;
  ServeTcp(c, "127.22.0.2");
  const CliRun r = Cli(
      {"Connection=127.22.0.2", "OpenConnection", "--watch", "--interval", "10", "--count", "3"});
  EXPECT_EQ(r.code, cli::kExitOk) << r.err;
  EXPECT_NE(r.out.find("\rWeight=15 "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\rWeight=25 "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("result=0  stable "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.back(), '\n');
}

// ReadStableWeight=MS: the state, and exit code 3 when no weight good for a
// sale came before the deadline; the items after it run only on success.
TEST_F(CliTest, ReadStableWeightWaitsForASaleWeight) {
  struct Case {
    bool stable;
    std::uint32_t settle_after;
    std::int32_t weight;
    bool allow_zero;
    int code;
    const char* out;
  };
  const Case cases[] = {
      {true, 4, 700, false, cli::kExitOk, "ReadStableWeight=stable\nWeight=708\n"},
      {false, 0, 700, false, cli::kExitNotStable, "ReadStableWeight=unstable\n"},
      {true, 0, 0, false, cli::kExitNotStable, "ReadStableWeight=zero\n"},
      {true, 0, 0, true, cli::kExitOk, "ReadStableWeight=zero\nWeight=0\n"},
      {true, 0, -5, false, cli::kExitNotStable, "ReadStableWeight=under_zero\n"},
  };
  int n = 0;
  for (const Case& c : cases) {
    sim::SimConfig config;
    config.weight = c.weight;
    config.weight_step = c.settle_after > 0 ? 2 : 0;
    config.stable = c.stable;
    config.settle_after = c.settle_after;
    const std::string address = "127.22.1." + std::to_string(++n);
    ServeTcp(config, address);
    std::vector<std::string> args = {"Connection=" + address, "OpenConnection",
                                     "ReadStableWeight=400", "Weight"};
    if (c.allow_zero) args.insert(args.begin(), "--allow-zero");
    const CliRun r = Cli(args);
    EXPECT_EQ(r.code, c.code) << n << r.err;
    EXPECT_EQ(r.out, std::string("OpenConnection=0\n") + c.out) << n;
    Sim().Stop();
  }
}

TEST_F(CliTest, SignalEndsTheRunDuringACall) {
  // The scale answers later than the driver waits: every call takes 4 s.
  sim::SimConfig c;
  c.delay_ms = 4500;
  ServeTcp(c, "127.22.0.3");
  for (const int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal_number);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      ::execl(RD_CLI_PATH, RD_CLI_PATH, "Connection=127.22.0.3", "OpenConnection", "ReadWeight",
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    int status = 0;
    const auto ms = ElapsedMs([&] {
      ::kill(child, signal_number);
      ::waitpid(child, &status, 0);
    });
    EXPECT_LT(ms, 1000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal_number);
  }
}

TEST_F(CliTest, StopSkipsTheItemsStillToCome) {
  std::atomic<bool> stop{true};
  std::ostringstream out, err;
  EXPECT_EQ(cli::RunCommandLine({"Connection=127.22.0.4", "OpenConnection"}, out, err, &stop),
            cli::kExitInterrupted);
  EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace rd::test
