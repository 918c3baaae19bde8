// End-to-end fixtures: a Scale object against the simulated scale, served
// in-process over TCP (a loopback address of the test's own) or over a
// pseudo-terminal mapped to a serial port number.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "SimScale.h"
#include "raroredoziri/ErrorInfo.h"
#include "raroredoziri/Frame.h"
#include "raroredoziri/Members.h"
#include "raroredoziri/Transport.h"

namespace rd::test {

inline std::u16string Wide(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

class SessionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    TcpDisconnect();
    ComClose();
    if (sim_) sim_->Stop();
  }

  // Serves the simulated scale over TCP on `address`; returns the
  // connection string.
  std::u16string ServeTcp(sim::SimConfig config, const std::string& address) {
    sim_ = std::make_unique<sim::SimScale>(std::move(config));
    sim::SimEndpoints endpoints;
    endpoints.tcp_address = address;
    sim_->Start(endpoints);
    return Wide(address);
  }

  // Serves it on a pseudo-terminal that serial port `port` maps to; returns
  // the connection string "COM<port>".
  std::u16string ServeSerial(sim::SimConfig config, std::uint16_t port) {
    sim_ = std::make_unique<sim::SimScale>(std::move(config));
    sim::SimEndpoints endpoints;
    endpoints.pty = true;
    sim_->Start(endpoints);
    SetSerialDevice(port, sim_->PtyPath());
    // Tests that open the port directly open this one.
    SetComPortNumber(port);
    return Wide("COM" + std::to_string(port));
  }

  std::vector<sim::SimRequest> Requests() const { return sim_->Requests(); }
  std::size_t RequestCount() const { return sim_->RequestCount(); }

  // The body of the last request the scale received.
  Bytes LastBody() const {
    const auto requests = sim_->Requests();
    return requests.empty() ? Bytes{} : requests.back().request.Body();
  }

  sim::SimScale& Sim() { return *sim_; }

 private:
  std::unique_ptr<sim::SimScale> sim_;
};

// Milliseconds an action takes.
template <class F>
long long ElapsedMs(F&& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// Calls a member by name through the member guard, as a late-bound host
// would; returns the status.
inline std::int32_t Call(TScale& scale, std::string_view name, MemberValue& value) {
  const std::int32_t dispid = DispidOfName(name);
  const MemberInfo* m = FindMember(dispid, MemberKind::Method);
  if (m == nullptr) m = FindMember(dispid, MemberKind::Put);
  return InvokeMember(scale, *m, value);
}

}  // namespace rd::test
