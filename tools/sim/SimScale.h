// SimScale: a simulated scale served in-process on a thread of its own, for
// development, tests, the fuzzer and the soak runs (Linux only).
//
// It serves one or both of
//   - a TCP listener on a loopback address at port 5001, one client at a
//     time (the next client is accepted when the current one goes);
//   - a pseudo-terminal: the server holds the master end and reports the
//     slave's path, optionally through a symbolic link. The slave starts in
//     raw mode; the line speed the driver sets on the slave is read back
//     from the master, so a framed scale answers only at 57600 baud and a
//     legacy scale only at 4800 (unless SimConfig::check_baud is false).
// What the scale answers and which faults it commits is SimDevice's part
// (SimDevice.h); SimScale times the output, paces it on the serial line
// when asked, and records every request.
//
// Usage:
//   SimScale sim(config);
//   sim.Start(SimEndpoints::Tcp("127.0.0.9"));     // throws rd::Fault
//   ... drive the driver against 127.0.0.9 ...
//   sim.WaitForRequests(3, 1s);
//   auto seen = sim.Requests();
//   sim.Stop();                                    // also done by the destructor
//
// Start and Stop belong to the owning thread. Requests(), RequestsSince(),
// RequestCount(), WaitForRequests(), AnsweredSince(), WaitWhileWriting() and
// Done() may be called from any thread. The log
// callback runs on the server thread, one line at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SimDevice.h"
#include "SimParser.h"

namespace rd::sim {

struct SimEndpoints {
  std::string tcp_address;  // IPv4 address to listen on (port 5001); empty: none
  bool pty = false;         // serve a pseudo-terminal
  std::string pty_link;     // with pty: create this symbolic link to the slave

  static SimEndpoints Tcp(std::string address) { return {std::move(address), false, {}}; }
  static SimEndpoints Pty(std::string link = {}) { return {{}, true, std::move(link)}; }
};

// One request as the scale received it.
struct SimRequest {
  std::string link;  // "tcp" or "pty"
  ParsedRequest request;
  std::string description;  // DescribeRequest(request)
  std::string note;         // how it was answered beyond the plain reply
  std::string cut;          // how the answer was cut into pieces, if it was
  Bytes answer;             // every byte of the answer, faults applied, in order
};

// "request F8 55 CE 01 00 A0 A0 00 | ReadWeight", with " [note]" appended when
// the request was not answered plainly and " [cut 5+9, 60 ms]" when its
// answer went out in pieces.
std::string FormatRequestLine(const SimRequest& request);

using SimLog = std::function<void(const std::string& line)>;

class SimScale {
 public:
  explicit SimScale(SimConfig config, SimLog log = {});
  ~SimScale();
  SimScale(const SimScale&) = delete;
  SimScale& operator=(const SimScale&) = delete;

  // Opens the endpoints and starts the server thread; once per object.
  // Raises rd::Fault when an endpoint cannot be opened, when nothing is to be
  // served, or when the server was started before.
  void Start(const SimEndpoints& endpoints);
  // Stops the thread, closes every endpoint and removes the symbolic link.
  // Safe to call more than once.
  void Stop();

  std::string TcpEndpoint() const;  // "127.0.0.9:5001", empty without TCP
  std::string PtyPath() const;      // "/dev/pts/7", empty without a pty

  // Request indices count every request since Start. Only the latest
  // SimConfig::history requests are kept on record: Requests() gives those,
  // RequestsSince() and AnsweredSince() only ever name kept ones.
  std::vector<SimRequest> Requests() const;
  // The kept requests from index `first` on (none when fewer arrived).
  std::vector<SimRequest> RequestsSince(std::size_t first) const;
  // The indices (into Requests()) of the requests of which some answer byte
  // went out at `since` or later, each once, in the order of writing. Tells
  // a driver's exchange that began at `since` which earlier answers it may
  // have met. A write counts from the moment it returned; one under way
  // counts as later than any `since`.
  std::vector<std::size_t> AnsweredSince(std::chrono::steady_clock::time_point since) const;
  // Waits until no write is under way; false after the timeout.
  bool WaitWhileWriting(std::chrono::milliseconds timeout) const;
  std::size_t RequestCount() const;  // every request since Start, kept or not
  // True once at least `count` requests arrived; false after the timeout.
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

  // The server thread has ended: SimConfig::max_requests was reached, an
  // error ended it (logged as "error: ..."), or Stop() was called.
  bool Done() const;
  // A descriptor that becomes readable when Done() turns true, for poll().
  int DoneFd() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rd::sim
