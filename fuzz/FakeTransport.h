// A scripted stand-in for the serial port and the client socket, linked into
// the fuzz targets instead of serial_posix.cpp and tcp_posix.cpp. Every read,
// receive, open, connect and send takes its outcome from the fuzz input, and
// the tick counter moves only when a fake read or receive says time passed,
// so a target explores the whole time budget of an exchange without sleeping.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "raroredoziri/Bytes.h"

namespace rd::fuzz {

// One fake serial read or socket receive, as the channel saw it.
struct FakeRead {
  Bytes data;
  std::uint32_t wait_ms = 0;  // socket receives: the wait the channel asked for
  std::uint32_t tick_after = 0;
  int status = 0;       // socket receives: transport::SocketStatus as int
  bool failed = false;  // serial reads: the read failed
};

struct FakeWorld {
  FuzzedDataProvider* script = nullptr;
  // When false, opening, configuring, connecting and sending always succeed
  // without consuming input.
  bool scripted_setup = true;
  std::uint32_t now = 0;  // the tick counter

  Bytes serial_written;                  // every byte written to the serial port
  std::size_t serial_short_writes = 0;   // writes that put out only part of their bytes
  std::vector<FakeRead> serial_reads;    // every serial read
  Bytes tcp_sent;                        // every byte sent over TCP
  std::vector<FakeRead> tcp_receives;    // every receive that waited (wait_ms > 0)
  std::size_t tcp_discarded = 0;         // bytes dropped by receives that did not wait
  std::size_t tcp_receives_at_send = 0;  // tcp_receives.size() at the last send

  void ClearRecords() {
    serial_written.clear();
    serial_short_writes = 0;
    serial_reads.clear();
    tcp_sent.clear();
    tcp_receives.clear();
    tcp_discarded = 0;
    tcp_receives_at_send = 0;
  }
};

FakeWorld& World();

// Points the fakes at `script`, installs the fake tick counter starting at
// `start_tick` and forgets what was recorded.
void Install(FuzzedDataProvider& script, std::uint32_t start_tick);

// Closes both channels; leaves the fakes installed.
void ResetChannels();

}  // namespace rd::fuzz

// A failed check: prints the message and aborts, so that libFuzzer keeps the
// input as a crash.
#define RD_FUZZ_CHECK(cond)                                                         \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)
