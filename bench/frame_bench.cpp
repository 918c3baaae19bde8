// Frame building and checksum throughput: BuildFrame for the body sizes the
// driver sends (1, 5, 16 and 121 bytes) and the largest (255), the checksum
// alone over long data, and a whole command body plus its frame.
#include <benchmark/benchmark.h>

#include <numeric>

#include "raroredoziri/Frame.h"
#include "raroredoziri/Scale.h"

namespace rd {
namespace {

Bytes Body(std::size_t size) {
  Bytes body(size);
  std::iota(body.begin(), body.end(), std::uint8_t{0xA0});
  return body;
}

void BuildFrameOfBody(benchmark::State& state) {
  const Bytes body = Body(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(BuildFrame(body));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BuildFrameOfBody)->Arg(1)->Arg(5)->Arg(16)->Arg(121)->Arg(255);

void FrameCrc16Throughput(benchmark::State& state) {
  const Bytes data = Body(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(FrameCrc16(0, data.data(), data.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(FrameCrc16Throughput)->Arg(255)->Arg(64 * 1024);

// SetGoodsButton's 121-byte body from the properties, framed.
void GoodsButtonCommandFrame(benchmark::State& state) {
  TScale scale;
  scale.GoodsButton1 = "Apples";
  scale.GoodsButton8 = "Pears and more than fifteen";
  for (auto _ : state) benchmark::DoNotOptimize(BuildFrame(scale.CommandBody(0xAB)));
}
BENCHMARK(GoodsButtonCommandFrame);

// SetGoods: wide text converted one code unit at a time.
void GoodsCommandFrame(benchmark::State& state) {
  TScale scale;
  scale.Goods = u"Fresh milk 3.5%";
  for (auto _ : state) benchmark::DoNotOptimize(BuildFrame(scale.CommandBody(0xA2)));
}
BENCHMARK(GoodsCommandFrame);

}  // namespace
}  // namespace rd
