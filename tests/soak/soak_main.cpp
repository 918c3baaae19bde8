// raroredoziri_soak: a long mixed sequence of every method over TCP and over
// pseudo-terminals against simulated scales that commit random faults,
// checked after every call. The calls of one process run one after another
// (the channels are process-wide), so the run is split into jobs, each a
// process of its own with its own scales on its own loopback address and
// pseudo-terminals: their waits overlap.
//
//   raroredoziri_soak [--jobs N] [--calls N] [--seconds S] [--seed S]
//                     [--chaos-percent P] [--segment] [--net A] [--verbose]
//
// --segment also cuts every reply at random bytes into pieces (as a
// serial-to-Ethernet converter would), on TCP and the pseudo-terminals.
// --calls is the total over all jobs; each job stops at its share or after
// --seconds. Exit status 0 only when every call kept every rule and every
// job ended cleanly (a sanitizer report ends a job with a failure).
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SoakJob.h"

namespace {

using rd::soak::JobConfig;
using rd::soak::Tally;

std::string Serialize(const Tally& t) {
  std::ostringstream out;
  out << "calls " << t.calls << "\nfaults " << t.faults << "\noverlapped " << t.overlapped
      << "\nstale " << t.stale_taken << "\nspliced " << t.spliced_taken << "\nverified "
      << t.verified_values << "\nerrors " << t.errors << "\n";
  for (const auto& [key, count] : t.results) out << "result " << key << " " << count << "\n";
  for (const auto& line : t.error_lines) out << "error " << line << "\n";
  return out.str();
}

Tally Parse(const std::string& text) {
  Tally t;
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    if (word == "result") {
      std::string key;
      std::uint64_t count = 0;
      in >> key >> count;
      t.results[key] += count;
    } else if (word == "error") {
      std::string line;
      std::getline(in, line);
      t.error_lines.push_back(line);
    } else {
      std::uint64_t value = 0;
      in >> value;
      if (word == "calls") t.calls = value;
      if (word == "faults") t.faults = value;
      if (word == "overlapped") t.overlapped = value;
      if (word == "stale") t.stale_taken = value;
      if (word == "spliced") t.spliced_taken = value;
      if (word == "verified") t.verified_values = value;
      if (word == "errors") t.errors = value;
    }
  }
  return t;
}

struct Child {
  pid_t pid = -1;
  int pipe = -1;
  std::string output;
  int status = 0;
  bool done = false;
};

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: raroredoziri_soak [--jobs N] [--calls N] [--seconds S] [--seed S]\n"
               "                         [--chaos-percent P] [--segment] [--net A] [--verbose]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t jobs = 6;
  std::uint64_t calls = 600;
  JobConfig base;
  base.max_seconds = 35;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage();
      return argv[++i];
    };
    if (option == "--jobs") {
      jobs = static_cast<std::uint32_t>(std::stoul(value()));
    } else if (option == "--calls") {
      calls = std::stoull(value());
    } else if (option == "--seconds") {
      base.max_seconds = std::stod(value());
    } else if (option == "--seed") {
      base.seed = std::stoull(value());
    } else if (option == "--chaos-percent") {
      base.chaos_percent = static_cast<std::uint32_t>(std::stoul(value()));
    } else if (option == "--segment") {
      base.segment = true;
    } else if (option == "--net") {
      base.net = static_cast<std::uint32_t>(std::stoul(value()));
    } else if (option == "--verbose") {
      base.verbose = true;
    } else {
      Usage();
    }
  }
  if (jobs == 0 || jobs > 1000 || base.net == 0 || base.net > 255) Usage();

  const auto start = std::chrono::steady_clock::now();
  std::vector<Child> children(jobs);
  for (std::uint32_t j = 0; j < jobs; ++j) {
    int fds[2];
    if (::pipe(fds) != 0) {
      std::perror("pipe");
      return 1;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
      std::perror("fork");
      return 1;
    }
    if (pid == 0) {
      ::close(fds[0]);
      JobConfig config = base;
      config.index = j;
      config.max_calls = calls / jobs + (j < calls % jobs ? 1 : 0);
      int rc = 1;
      try {
        const Tally tally = rd::soak::RunJob(config);
        const std::string text = Serialize(tally);
        std::size_t at = 0;
        while (at < text.size()) {
          const ssize_t n = ::write(fds[1], text.data() + at, text.size() - at);
          if (n <= 0) break;
          at += static_cast<std::size_t>(n);
        }
        rc = tally.errors == 0 ? 0 : 1;
      } catch (const std::exception& e) {
        std::fprintf(stderr, "job %u: %s\n", j, e.what());
      }
      ::close(fds[1]);
      std::exit(rc);  // a normal exit: the leak checker runs
    }
    ::close(fds[1]);
    children[j].pid = pid;
    children[j].pipe = fds[0];
  }

  // Read every job's report while they run; a job that outlives its time by
  // far is stopped and counted as hung.
  const double limit = base.max_seconds + 120;
  std::size_t running = jobs;
  bool hung = false;
  while (running > 0) {
    std::vector<pollfd> fds;
    for (const Child& c : children) {
      if (c.pipe >= 0) fds.push_back(pollfd{c.pipe, POLLIN, 0});
    }
    if (!fds.empty())
      ::poll(fds.data(), fds.size(), 200);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (Child& c : children) {
      if (c.pipe >= 0) {
        char buffer[4096];
        const ssize_t n = ::read(c.pipe, buffer, sizeof buffer);
        if (n > 0) c.output.append(buffer, static_cast<std::size_t>(n));
        if (n == 0) {
          ::close(c.pipe);
          c.pipe = -1;
        }
      }
      if (!c.done && c.pipe < 0 && ::waitpid(c.pid, &c.status, 0) == c.pid) {
        c.done = true;
        --running;
      }
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (elapsed > limit && !hung) {
      hung = true;
      for (Child& c : children) {
        if (!c.done) ::kill(c.pid, SIGKILL);
      }
    }
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  Tally total;
  int bad_jobs = 0;
  for (std::uint32_t j = 0; j < jobs; ++j) {
    const Child& c = children[j];
    total.Add(Parse(c.output));
    const bool clean = WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0;
    if (!clean) {
      ++bad_jobs;
      std::printf("job %u ended badly: %s %d\n", j, WIFEXITED(c.status) ? "exit" : "signal",
                  WIFEXITED(c.status) ? WEXITSTATUS(c.status) : WTERMSIG(c.status));
    }
  }

  std::printf("soak: %u jobs, %llu calls in %.1f s (chaos %u%%%s, seed %llu)\n", jobs,
              static_cast<unsigned long long>(total.calls), elapsed, base.chaos_percent,
              base.segment ? ", replies cut into pieces" : "",
              static_cast<unsigned long long>(base.seed));
  std::string method;
  for (const auto& [key, count] : total.results) {
    const std::string name = key.substr(0, key.find('='));
    if (name != method) {
      std::printf("%s%-16s", method.empty() ? "" : "\n", name.c_str());
      method = name;
    }
    std::printf(" %s:%llu", key.substr(key.find('=') + 1).c_str(),
                static_cast<unsigned long long>(count));
  }
  std::printf(
      "\nvalues checked against the answer: %llu\n"
      "socket errors escaping a send: %llu\n"
      "calls whose exchange met output for an earlier request: %llu"
      " (late replies taken as the answer: %llu, over TCP: %llu)\n"
      "values the scale never sent (bytes of several answers): %llu\n",
      static_cast<unsigned long long>(total.verified_values),
      static_cast<unsigned long long>(total.faults),
      static_cast<unsigned long long>(total.overlapped),
      static_cast<unsigned long long>(total.stale_taken),
      static_cast<unsigned long long>(total.stale_taken_tcp),
      static_cast<unsigned long long>(total.spliced_taken));
  for (const auto& line : total.error_lines) std::printf("BROKEN: %s\n", line.c_str());
  const bool ok = total.errors == 0 && bad_jobs == 0 && !hung && total.calls > 0;
  std::printf("soak: %s (%llu rule breaks, %d jobs ended badly%s)\n", ok ? "passed" : "FAILED",
              static_cast<unsigned long long>(total.errors), bad_jobs, hung ? ", hung" : "");
  return ok ? 0 : 1;
}
