// ScaleLink: a Scale object bound to channels of its own, behind a lock.
#include "raroredoziri/ScaleLink.h"

#include "transport/Channels.h"

namespace rd {

ScaleLink::ScaleLink() : channels_(std::make_unique<LinkChannels>()) {
  scale_.channels_ = channels_.get();
}

ScaleLink::~ScaleLink() { Close(); }

ScaleLink::Turn::Turn(ScaleLink& link) : link_(link) {
  std::unique_lock<std::mutex> lock(link_.mutex_);
  const std::uint64_t mine = link_.asked_++;
  link_.next_.wait(lock, [&] { return link_.serving_ == mine; });
}

ScaleLink::Turn::~Turn() {
  {
    std::lock_guard<std::mutex> lock(link_.mutex_);
    ++link_.serving_;
  }
  link_.next_.notify_all();
}

std::int32_t ScaleLink::Open(std::u16string_view connection) {
  return Use([connection](TScale& scale) {
    scale.put_Connection(connection);
    return scale.OpenConnection();
  });
}

std::int32_t ScaleLink::Close() {
  const Turn turn(*this);
  channels_->serial.Close();
  channels_->tcp.Disconnect();
  return kResultDone;
}

ScaleLink::Weighing ScaleLink::ReadWeight() {
  return Use([](TScale& scale) {
    Weighing reading;
    reading.result = scale.ReadWeight();
    reading.weight = scale.Weight;
    reading.division = scale.Division;
    reading.stable = scale.Stable != 0;
    return reading;
  });
}

ScaleLink::TareReading ScaleLink::ReadTare() {
  return Use([](TScale& scale) {
    TareReading reading;
    reading.result = scale.ReadTare();
    reading.tare = scale.Tare;
    reading.division = scale.Division;
    return reading;
  });
}

StableOutcome ScaleLink::ReadStableWeight(const StableRequest& request) {
  return StableWait(request).Run([this] {
    const Weighing w = ReadWeight();
    return StableSample{w.result, w.weight, w.division, w.stable};
  });
}

}  // namespace rd
