#include "ServiceUnderTest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "raroredoziri/Transport.h"

namespace rd::service {
namespace {

using namespace std::chrono_literals;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// The configuration file's keys (Options.cpp) for `o`.
nlohmann::json ConfigOf(const ServiceOptions& o) {
  nlohmann::json doc = {{"listen", o.listen},
                        {"port", o.port},
                        {"poll_rate", o.poll_rate},
                        {"cors_origins", o.cors_origins},
                        {"allowed_hosts", o.allowed_hosts},
                        {"max_streams", o.max_streams},
                        {"request_timeout_ms", o.limits.request.count()},
                        {"scales", nlohmann::json::array()}};
  if (!o.token.empty()) doc["token"] = o.token;
  if (!o.tls_cert.empty()) doc["tls_cert"] = o.tls_cert;
  if (!o.tls_key.empty()) doc["tls_key"] = o.tls_key;
  if (o.codepage) doc["codepage"] = *o.codepage;
  for (const ScaleEntry& s : o.scales) {
    nlohmann::json scale = {{"name", s.name}, {"connection", s.connection}};
    if (s.capacity) scale["capacity"] = *s.capacity;
    if (s.poll_rate) scale["poll_rate"] = *s.poll_rate;
    for (const auto& [code, unit] : s.units) {
      scale["units"][std::to_string(code)] = {{"name", unit.name}, {"decimals", unit.decimals}};
    }
    doc["scales"].push_back(scale);
  }
  return doc;
}

// A line of the service's log with the seconds since the service was made.
std::string Stamped(std::chrono::steady_clock::time_point since, const std::string& line) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - since)
                      .count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%6lld.%03lld  ", static_cast<long long>(ms / 1000),
                static_cast<long long>(ms % 1000));
  return stamp + line + "\n";
}

}  // namespace

// The program under its runner, its output read on a thread of its own.
class ServiceUnderTest::Program {
 public:
  Program(ServiceOptions options, LogLine log)
      : options_(std::move(options)), log_(std::move(log)) {}
  ~Program() { Stop(); }

  bool Start(std::string& error) {
    std::string config = options_.config_path;
    if (config.empty()) {
      char pattern[] = "/tmp/rd-service-under-test.XXXXXX";
      if (mkdtemp(pattern) == nullptr) {
        error = "no temporary directory";
        return false;
      }
      directory_ = pattern;
      config = directory_ + "/service.json";
      std::ofstream(config) << ConfigOf(options_).dump(2);
    }
    std::vector<std::string> args;
    std::istringstream runner(Environment("RD_SERVICE_RUN"));
    for (std::string word; runner >> word;) args.push_back(word);
    const bool wine = !args.empty();
    if (wine) {  // as wine sees it: Z: is /
      std::replace(config.begin(), config.end(), '/', '\\');
      config = "Z:" + config;
    }
    args.insert(args.end(), {Environment("RD_SERVICE_EXE"), "--config", config});
    if (!Spawn(args, error)) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    // A first start under wine may have to make its prefix.
    if (!changed_.wait_for(lock, 120s, [this] { return port_ != 0 || exited_; }) || port_ == 0) {
      error = "the service did not start: " + output_;
      lock.unlock();
      Stop();
      return false;
    }
    return true;
  }

  int Port() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return port_;
  }

  std::string Output() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
  }

  void Stop() {
    if (pid_ < 0) return;
    // Asked first, as Ctrl+C in a console would (wine turns SIGINT into
    // CTRL_C_EVENT), then killed. The program alone (the runner execs it):
    // a wine server it started may be in its group and serve other tests.
    // (The first program of a wine session, which starts the wine server,
    // may end on it without its handler being called.)
    kill(pid_, SIGINT);
    if (!WaitExit(5s)) kill(pid_, SIGKILL);
    WaitExit(5s);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    EXPECT_EQ(write(wake_[1], "x", 1), 1);
    reader_.join();
    for (const int fd : {pidfd_, out_, wake_[0], wake_[1]}) close(fd);
    if (!directory_.empty()) std::filesystem::remove_all(directory_);
  }

 private:
  bool Spawn(const std::vector<std::string>& args, std::string& error) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
      error = "no pipe";
      return false;
    }
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {  // only async-signal-safe calls from here
      setpgid(0, 0);
      const int none = open("/dev/null", O_RDONLY);
      dup2(none, 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      close_range(3, ~0U, 0);  // none of the test's sockets for wine's processes
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    if (pid_ < 0) {
      error = "cannot start " + args[0];
      return false;
    }
    setpgid(pid_, pid_);
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    reader_ = std::thread([this] { Read(); });
    return true;
  }

  // Until Stop: the lines of the program's output, to the log; the port
  // from "listening on http://ADDR:PORT/". The end of the program is told
  // once its output is read.
  void Read() {
    static const std::regex listening("listening on https?://.*:([0-9]+)/");
    std::string text;
    bool open = true;
    bool exited = false;
    for (;;) {
      pollfd fds[3] = {
          {wake_[0], POLLIN, 0}, {open ? out_ : -1, POLLIN, 0}, {exited ? -1 : pidfd_, POLLIN, 0}};
      if (poll(fds, 3, -1) < 0) continue;
      if (fds[0].revents != 0) return;
      exited = exited || fds[2].revents != 0;
      if (fds[1].revents != 0) {
        char chunk[4096];
        const ssize_t n = read(out_, chunk, sizeof chunk);
        if (n <= 0) open = false;
        if (n > 0) text.append(chunk, static_cast<std::size_t>(n));
        for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n')) {
          Line(text.substr(0, end), listening);
          text.erase(0, end + 1);
        }
      }
      pollfd more{open ? out_ : -1, POLLIN, 0};
      if (exited && poll(&more, 1, 0) == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        exited_ = true;
        changed_.notify_all();
      }
    }
  }

  void Line(std::string line, const std::regex& listening) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string prefix = "raroredoziri-service: ";
    if (line.rfind(prefix, 0) == 0) line.erase(0, prefix.size());
    if (log_) log_(line);
    std::smatch m;
    std::lock_guard<std::mutex> lock(mutex_);
    if (port_ == 0 && std::regex_search(line, m, listening)) port_ = std::stoi(m[1]);
    if (output_.size() < 64 * 1024) output_ += Stamped(started_, line);
    changed_.notify_all();
  }

  // Whether the program ended within `limit`, its output read.
  bool WaitExit(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return exited_; });
  }

  ServiceOptions options_;
  LogLine log_;
  std::string directory_;
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int out_ = -1;
  int wake_[2] = {-1, -1};
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int port_ = 0;
  bool exited_ = false;
  std::string output_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

ServiceUnderTest::ServiceUnderTest(ServiceOptions options, LogLine log) {
  if (External()) {
    program_ = std::make_unique<Program>(std::move(options), std::move(log));
    return;
  }
  // The in-process service's log is kept the same way.
  auto record = [this, log = std::move(log)](const std::string& line) {
    if (log) log(line);
    std::lock_guard<std::mutex> lock(mutex_);
    if (output_.size() < 64 * 1024) output_ += Stamped(started_, line);
  };
  service_ = std::make_unique<Service>(std::move(options), std::move(record));
}

ServiceUnderTest::~ServiceUnderTest() = default;

bool ServiceUnderTest::External() { return !Environment("RD_SERVICE_EXE").empty(); }
bool ServiceUnderTest::Start(std::string& e) {
  return program_ ? program_->Start(e) : service_->Start(e);
}
int ServiceUnderTest::Port() const { return program_ ? program_->Port() : service_->Port(); }
void ServiceUnderTest::Stop() { program_ ? program_->Stop() : service_->Stop(); }
std::string ServiceUnderTest::Output() const {
  if (program_) return program_->Output();
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

SerialPortLink::SerialPortLink(std::uint16_t port, const std::string& path) : port_(port) {
  if (!ServiceUnderTest::External()) {
    SetSerialDevice(port, path);
    return;
  }
  const std::string prefix = Environment("WINEPREFIX");
  if (prefix.empty()) {
    ADD_FAILURE() << "a serial port under wine needs WINEPREFIX";
    return;
  }
  // A prefix wine has not made yet gets its drives from wine first.
  if (!std::filesystem::exists(prefix + "/dosdevices")) {
    const std::string boot =
        "timeout 120 " + Environment("RD_SERVICE_RUN") + " wineboot -i >/dev/null 2>&1";
    EXPECT_EQ(std::system(boot.c_str()), 0) << boot;
  }
  link_ = prefix + "/dosdevices/com" + std::to_string(port);
  std::filesystem::remove(link_);
  std::filesystem::create_symlink(path, link_);
}

SerialPortLink::~SerialPortLink() {
  if (link_.empty()) {
    SetSerialDevice(port_, {});
  } else {
    std::filesystem::remove(link_);
  }
}

}  // namespace rd::service
