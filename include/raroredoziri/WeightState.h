// Weight states: what one weight reading means to a host that sells by
// weight, in one vocabulary for every host of this library (the scale
// service's JSON and events, its page, the command-line host).
//
//   stable         a steady weight above zero, good for a sale
//   unstable       the weight is still moving
//   zero           a steady zero (an empty scale)
//   under_zero     a negative weight (steady or not)
//   over_capacity  above the capacity configured for the scale
//   not_ready      the scale did not answer completely (result 2) or refused
//   disconnected   no usable connection (result 1)
//   error          the host's own failure state (the service's "error")
//
// And the stable reading: StableWait reads until a reading is good for a
// sale or the deadline passes, pacing the readings (one every `pace`), and
// ends early when the connection is lost. ScaleLink::ReadStableWeight runs
// it on a link; other hosts give it their own read function.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace rd {

enum class WeightState : std::uint8_t {
  kStable,
  kUnstable,
  kZero,
  kUnderZero,
  kOverCapacity,
  kNotReady,
  kDisconnected,
  kError,
};

// "stable", "unstable", "zero", "under_zero", "over_capacity", "not_ready",
// "disconnected", "error".
const char* WeightStateName(WeightState state);

// The state of one reading: its result code, weight and stability flag, and
// the scale's capacity when one is configured (in the scale's own units,
// compared with the raw weight).
WeightState StateOfReading(std::int32_t result, std::int32_t weight, bool stable,
                           std::optional<std::int64_t> capacity = std::nullopt);

// Whether a reading in `state` may be priced: stable, or a steady zero when
// `allow_zero` is asked for.
bool GoodForSale(WeightState state, bool allow_zero);

struct StableRequest {
  std::chrono::milliseconds timeout{3000};
  std::chrono::milliseconds pace{100};  // the least time between two readings
  bool allow_zero = false;
  std::optional<std::int64_t> capacity;
};

// One reading as StableWait sees it.
struct StableSample {
  std::int32_t result = 1;
  std::int32_t weight = 0;
  std::int32_t division = 0;
  bool stable = false;
};

enum class StableEnd : std::uint8_t {
  kGood,          // `last` is good for a sale
  kDeadline,      // the timeout passed first; `last` is the last reading
  kDisconnected,  // the connection was lost (result 1) before a good reading
};

struct StableOutcome {
  StableEnd end = StableEnd::kDeadline;
  StableSample last;
  WeightState state = WeightState::kDisconnected;
  int readings = 0;
};

class StableWait {
 public:
  using Read = std::function<StableSample()>;
  // Waits up to the given milliseconds (the pause between two readings).
  // Default: sleeps the calling thread.
  using Pause = std::function<void(std::uint32_t ms)>;

  explicit StableWait(StableRequest request, Pause pause = {});

  // Reads at once, then at most one reading per `pace` until one is good,
  // the connection is lost, or `timeout` (measured with rd::TickCount, the
  // replaceable tick source) has passed. At least one reading is taken.
  StableOutcome Run(const Read& read) const;

 private:
  StableRequest request_;
  Pause pause_;
};

}  // namespace rd
