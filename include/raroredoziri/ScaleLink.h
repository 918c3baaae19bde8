// ScaleLink: one link to one scale, with a serial port and a TCP connection
// of its own, for hosts that drive several scales from one process (the
// scale service, C++ programs).
//
// A link holds a Scale object (TScale) whose methods talk over the link's own
// channels instead of the process-wide ones that the COM server shares, and a
// lock: Use() runs one piece of work on the object at a time, so two threads
// never interleave requests on one link, and in the order the threads asked,
// so a thread that reads again and again (a poller) keeps another thread's
// command waiting only for the work queued before it. Any number of links may
// exist; two links must not name the same serial port (the second open fails:
// the port is held exclusively). Serial device names (SetSerialDevice) and the
// code page (SetCodePage) are the process-wide settings of Transport.h and
// Text.h.
//
//   rd::ScaleLink link;
//   if (link.Open(u"127.0.0.9") == rd::kResultDone) {
//     const rd::ScaleLink::Weighing w = link.ReadWeight();
//     const rd::StableOutcome sale = link.ReadStableWeight({std::chrono::seconds(3)});
//     link.Use([](rd::TScale& s) { s.put_Goods(u"Milk"); return s.SetGoods(); });
//   }
//   link.Close();  // also done by the destructor
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "raroredoziri/Scale.h"
#include "raroredoziri/WeightState.h"

namespace rd {

class ScaleLink {
 public:
  ScaleLink();
  ~ScaleLink();
  ScaleLink(const ScaleLink&) = delete;
  ScaleLink& operator=(const ScaleLink&) = delete;

  // Runs work(TScale&) in its turn under the link's lock and returns what it
  // returns. Faults raised inside (range errors, socket errors) pass through.
  template <class Work>
  decltype(auto) Use(Work&& work) {
    const Turn turn(*this);
    return std::forward<Work>(work)(scale_);
  }

  // Sets Connection and runs OpenConnection; the result code.
  std::int32_t Open(std::u16string_view connection);
  // Closes whatever the link holds open (serial port and TCP connection); 0.
  std::int32_t Close();

  struct Weighing {
    std::int32_t result = kResultNoConnection;
    std::int32_t weight = 0;
    std::int32_t division = 0;
    bool stable = false;
  };
  // ReadWeight, with the fields it filled (those of the last success when
  // the result is not 0).
  Weighing ReadWeight();

  struct TareReading {
    std::int32_t result = kResultNoConnection;
    std::int32_t tare = 0;
    std::int32_t division = 0;
  };
  TareReading ReadTare();

  // For pricing: reads (paced, each reading under the lock on its own, so
  // commands of other threads run in between) until a reading is stable and
  // above zero (or a steady zero with allow_zero), the timeout passes, or the
  // connection is lost. Never presents a moving weight as good: see
  // StableOutcome::end (WeightState.h).
  StableOutcome ReadStableWeight(const StableRequest& request);

 private:
  // The link's lock, taken in the order asked (a plain mutex lets the thread
  // that just let go take it again at once, and again).
  class Turn {
   public:
    explicit Turn(ScaleLink& link);
    ~Turn();
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

   private:
    ScaleLink& link_;
  };

  std::mutex mutex_;
  std::condition_variable next_;
  std::uint64_t asked_ = 0;    // turns handed out
  std::uint64_t serving_ = 0;  // the turn that may run
  std::unique_ptr<LinkChannels> channels_;
  TScale scale_;
};

}  // namespace rd
