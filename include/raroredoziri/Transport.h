// The two process-wide channels to the scale and the seams tests replace.
//
// Both channels are shared by every Scale object of the process. Each takes
// one exchange at a time: a Scale method holds the channel for its whole
// exchange, a call from another thread waits for it (at most 4 s, then the
// method answers 2, CloseConnection 1, without touching the channel), and a
// call that host code makes from inside a serial wait (the message pump, on
// the same thread) is refused the same way at once (CloseConnection there
// closes the port, and the waiting call ends). The functions below each take
// the channel for their one step; on the thread that already holds it they
// run at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "raroredoziri/Bytes.h"

namespace rd {

// ---- Seams ---------------------------------------------------------------

// Millisecond tick counter that wraps at 2^32 (GetTickCount on Windows,
// the monotonic clock on Linux). Budgets are measured as differences modulo
// 2^32. Passing an empty function restores the platform counter.
using TickSource = std::function<std::uint32_t()>;
void SetTickSource(TickSource source);
std::uint32_t TickCount();

// Dispatches the calling thread's pending window messages. Called by
// ComReceive after every read. Windows default: PeekMessageA /
// TranslateMessage / DispatchMessageA until none is waiting (a quit message
// is taken and not dispatched). Linux default: nothing. An empty function
// restores the default.
using MessagePump = std::function<void()>;
void SetMessagePump(MessagePump pump);
void PumpMessages();

// Linux only (ignored on Windows, where port N is the device "COMN"): the
// device for a port number. Default for N >= 1: /dev/ttyS<N-1>; port 0 has
// no default device. An empty path removes the mapping.
void SetSerialDevice(std::uint16_t port, std::string path);
std::string SerialDevice(std::uint16_t port);

// Turns the host text of a TCP connection into the addresses to try (IPv4
// or IPv6 literals) within `limit_ms`; none when it cannot. Default: a
// literal is its own address; a name goes to the system resolver on a worker
// thread that the caller waits for at most `limit_ms` (the worker ends by
// itself when the system answers; with four such lookups still running, a
// further name fails at once). An empty function restores the default.
using Resolver =
    std::function<std::vector<std::string>(const std::string& host, std::uint32_t limit_ms)>;
void SetResolver(Resolver resolver);
std::vector<std::string> Resolve(const std::string& host, std::uint32_t limit_ms);
// True while a default lookup is still running after its caller gave up on
// it (code of this library is still running on that worker thread).
bool LookupsPending();

// Closes the process-wide serial port and TCP connection (each waiting for
// an exchange in progress on another thread, as above). The channels
// themselves live until the process ends, so no thread ever uses a freed
// one; this is the way to release what they hold.
void CloseChannels();

// ---- Serial channel ------------------------------------------------------

inline constexpr std::size_t kComBufferSize = 2000;
inline constexpr std::uint32_t kComReceiveBudgetMs = 3000;

std::uint16_t ComPortNumber();
void SetComPortNumber(std::uint16_t port);
std::uint8_t ComParity();
void SetComParity(std::uint8_t parity);
bool ComIsOpen();

// Opens port ComPortNumber() (closing any open port first) with the given
// queue sizes and baud rate, 8N1, DTR raised, RTS raised while sending.
// Negative arguments raise a fault.
bool ComOpen(std::int32_t in_queue, std::int32_t out_queue, std::int32_t baud);
void ComClose();
// Discards input already waiting (when some is there, first until the line
// has been quiet for 150 ms: the rest of a late reply), then writes data in
// one synchronous write.
// More than 2000 bytes raises a fault and writes nothing. Returns the count
// written (0 on a closed port). The Scale methods answer 2 without waiting
// for a reply when a request could not be written whole.
std::int32_t ComWrite(const Bytes& data);
// One read of up to 2000 bytes; replaces buffer with what arrived.
std::int32_t ComRead(Bytes& buffer);
// Reads until exactly `expected` bytes arrived in total or more than 3000 ms
// passed; pumps messages after every read. Returns every byte received.
// When that is some but not `expected` bytes, input that still follows is
// dropped until the line has been quiet for 150 ms (at most 1000 ms more).
Bytes ComReceive(std::int32_t expected);

// ---- TCP channel ---------------------------------------------------------

inline constexpr std::uint16_t kTcpPort = 5001;
inline constexpr std::uint32_t kTcpConnectLimitMs = 3000;
inline constexpr std::uint32_t kTcpReadLimitMs = 4000;
inline constexpr std::uint32_t kTcpReceiveBudgetMs = 2000;

// Discards any previous client, resolves host (Resolve) and connects to port
// 5001, both within 3000 ms. On failure an unconnected client stays in
// place.
bool TcpConnect(const std::string& host);
void TcpDisconnect();
bool TcpHasClient();
bool TcpConnected();
// 0: sent (after discarding input already waiting, and when there was some,
// what follows until the connection has been quiet for 150 ms); 1: no client
// or not connected. A socket error raises a fault.
// After an exchange that did not end with a reply of the expected length
// while the connection stayed open, the connection is closed and a fresh one
// made to the same host before the request goes out (1 when that fails): an
// answer to the earlier request that is still on its way dies with the old
// connection.
std::int32_t TcpSend(const Bytes& data);
// 0: reply in `reply`; 1: no client or not connected; 2: no usable reply.
// expected == 0 takes the first piece that arrives; otherwise pieces are
// gathered until `expected` bytes came or the 2000 ms budget is spent, and
// bytes already waiting behind them are taken too (an over-long reply).
std::int32_t TcpReceive(Bytes& reply, std::size_t expected);

}  // namespace rd
