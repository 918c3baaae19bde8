// A TCP channel test with a scripted peer listening on its own loopback
// address, port 5001.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "raroredoziri/Transport.h"
#include "transport/tcp_peer.h"
#include "transport/transport_test_util.h"

namespace rd::test {

class TcpPeerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    TcpDisconnect();  // lets a peer waiting for the close finish
    if (peer_.joinable()) peer_.join();
  }

  // Listens on `address` and runs `script` with the first connection.
  void StartPeer(const std::string& address, std::function<void(PeerSocket&)> script,
                 int backlog = 4) {
    listener_ = std::make_unique<PeerListener>(address, kTcpPort, backlog);
    ASSERT_TRUE(listener_->Valid()) << "cannot listen on " << address;
    peer_ = std::thread([this, script = std::move(script)] {
      PeerSocket socket = listener_->Accept(5000);
      if (socket.Valid()) script(socket);
    });
  }

  // For a script: the next connection (the channel replaces its connection
  // after an exchange without a reply of the expected length).
  PeerSocket NextConnection(int timeout_ms = 5000) { return listener_->Accept(timeout_ms); }

  std::unique_ptr<PeerListener> listener_;
  std::thread peer_;
  SeamGuard seams_;
};

}  // namespace rd::test
