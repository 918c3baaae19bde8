// The serial and the TCP channel as objects. The process has one pair that
// every Scale object of the COM server shares (the free Com*/Tcp* functions
// of Transport.h work on it); each ScaleLink owns a pair of its own. Each
// channel carries the lock of its exchanges (ChannelLock.h): whoever runs an
// exchange holds a ChannelTurn on it for the whole exchange; the methods
// below take none themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "raroredoziri/Bytes.h"
#include "raroredoziri/Transport.h"
#include "transport/ChannelLock.h"
#include "transport/serial_port.h"
#include "transport/tcp_socket.h"

namespace rd {
namespace transport {

// The rest of a reply that is still arriving in pieces is waited out: input
// is read and dropped until none came for kSettleQuietMs (longer than the
// pauses a link puts between the pieces of one reply), at most for
// kSettleLimitMs.
inline constexpr std::uint32_t kSettleQuietMs = 150;
inline constexpr std::uint32_t kSettleLimitMs = 1000;

// Serial line: after an exchange that did not end with a reply of the right
// length, the scale may still answer that request late, and its late answer
// may arrive during a later exchange, just ahead of the reply to it (or
// after a reply that overtook it). For kLateReplyHorizonMs after such an
// exchange a reply counts as complete only when nothing follows it for
// kSettleQuietMs; anything that follows makes it over-long. Without request
// numbers in the protocol this is what keeps a late answer and the head of
// the own reply from being taken as one. (The TCP channel needs no watch: it
// replaces the connection instead, and a late answer dies with the old one.)
inline constexpr std::uint32_t kLateReplyHorizonMs = 5000;

class LateReplyWatch {
 public:
  // A reply must be followed by silence to count.
  bool Due() const { return due_; }
  // After an exchange; `answered`: a reply of the right length came.
  void Note(bool answered) {
    const std::uint32_t now = TickCount();
    if (!answered) {
      due_ = true;
      since_ = now;
    } else if (due_ && static_cast<std::uint32_t>(now - since_) > kLateReplyHorizonMs) {
      due_ = false;
    }
  }
  void Reset() { due_ = false; }

 private:
  bool due_ = false;
  std::uint32_t since_ = 0;  // when the last exchange without its reply ended
};

class SerialChannel {
 public:
  ChannelLock& Lock() { return lock_; }
  std::uint16_t PortNumber() const { return port_number_; }
  void SetPortNumber(std::uint16_t port) { port_number_ = port; }
  std::uint8_t Parity() const { return parity_; }
  void SetParity(std::uint8_t parity) { parity_ = parity; }
  bool IsOpen() const { return port_.IsOpen(); }

  // ComOpen, ComClose, ComWrite, ComRead and ComReceive of Transport.h.
  bool Open(std::int32_t in_queue, std::int32_t out_queue, std::int32_t baud);
  void Close() { port_.Close(); }
  std::int32_t Write(const Bytes& data);
  std::int32_t Read(Bytes& buffer);
  // `watch`: whether the outcome feeds the late-reply watch. A probe at a
  // baud rate the port is about to leave does not: a scale that does not
  // speak at that rate leaves it unanswered by design, and an answer it
  // might still send would not survive the change of rate as a reply.
  Bytes Receive(std::int32_t expected, bool watch = true);
  // One exchange: writes `request` and receives a reply of `expected` bytes.
  // False, with an empty reply and without waiting, when the request could
  // not be written whole (a closed port, a write that failed or stalled);
  // when part of it went out, the late-reply watch goes on.
  bool Request(const Bytes& request, std::int32_t expected, Bytes& reply, bool watch = true);

 private:
  void Settle();

  ChannelLock lock_;
  SerialPort port_;
  LateReplyWatch late_;  // kept across reopening: a late answer may still come
  std::uint16_t port_number_ = 0;
  std::uint8_t parity_ = 0;
};

class TcpChannel {
 public:
  ChannelLock& Lock() { return lock_; }
  // TcpConnect, TcpDisconnect, TcpSend and TcpReceive of Transport.h.
  bool Connect(const std::string& host);
  void Disconnect() {
    client_.reset();
    replace_ = false;
  }
  bool HasClient() const { return client_ != nullptr; }
  bool Connected() const { return client_ && client_->IsOpen(); }
  std::int32_t Send(const Bytes& data);
  // With `enough` below `expected` (the probe): 0 as soon as that many bytes
  // came within the budget, but the whole reply is still waited for.
  std::int32_t Receive(Bytes& reply, std::size_t expected, std::size_t enough = 0);

 private:
  ChannelLock lock_;
  std::unique_ptr<TcpSocket> client_;  // none, or a socket open or closed
  std::string host_;                   // what the client was connected to
  // The last exchange ended without a reply of the expected length on a
  // connection that is still open: the next request goes over a fresh one.
  bool replace_ = false;
};

}  // namespace transport

struct LinkChannels {
  transport::SerialChannel serial;
  transport::TcpChannel tcp;
};

// The pair shared by the whole process. It is never destroyed (CloseChannels
// of Transport.h releases what it holds), so no thread can find it gone.
LinkChannels& ProcessChannels();

}  // namespace rd
