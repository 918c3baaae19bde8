// The simulated scale's request parser on any byte stream in any pieces: the
// requests found do not depend on how the stream was cut; every frame handed
// back is whole and judged by its checksum; every byte is accounted for as
// part of a request, as skipped garbage or as the held start of a frame,
// which never exceeds one frame; giving up held bytes always terminates.
#include "FakeTransport.h"
#include "SimParser.h"
#include "raroredoziri/Frame.h"

namespace {

using rd::Bytes;
using rd::sim::ParsedRequest;
using rd::sim::RequestKind;

void CheckRequest(const ParsedRequest& r) {
  switch (r.kind) {
    case RequestKind::kLegacyProbe:
      RD_FUZZ_CHECK(r.raw == Bytes{0x45});
      break;
    case RequestKind::kLegacyWeight:
      RD_FUZZ_CHECK(r.raw == Bytes{0x4A});
      break;
    case RequestKind::kFrame:
    case RequestKind::kBadFrame: {
      RD_FUZZ_CHECK(r.raw.size() >= 8);
      RD_FUZZ_CHECK(r.raw[0] == 0xF8 && r.raw[1] == 0x55 && r.raw[2] == 0xCE && r.raw[4] == 0);
      RD_FUZZ_CHECK(r.raw.size() == r.raw[3] + rd::kFrameOverhead);
      const Bytes body = r.Body();
      RD_FUZZ_CHECK(body.size() == r.raw[3] && r.Code() == body[0]);
      const bool good = rd::BuildFrame(body) == r.raw;
      RD_FUZZ_CHECK(good == (r.kind == RequestKind::kFrame));
      break;
    }
  }
  RD_FUZZ_CHECK(!rd::sim::DescribeRequest(r).empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte seeds the cut points; the rest is the stream.
  std::uint32_t cuts = data[0] * 2654435761u;
  const std::uint8_t* stream = data + 1;
  const std::size_t length = size - 1;

  rd::sim::SimParser whole;
  std::vector<ParsedRequest> from_whole;
  whole.Feed(stream, length, from_whole);

  rd::sim::SimParser pieces;
  std::vector<ParsedRequest> from_pieces;
  for (std::size_t at = 0; at < length;) {
    cuts = cuts * 1103515245u + 12345u;
    const std::size_t piece = std::min<std::size_t>(length - at, 1 + (cuts >> 16) % 23);
    pieces.Feed(stream + at, piece, from_pieces);
    RD_FUZZ_CHECK(pieces.Pending() < rd::sim::kMaxFrameSize);
    at += piece;
  }

  RD_FUZZ_CHECK(from_whole == from_pieces);
  RD_FUZZ_CHECK(whole.Pending() == pieces.Pending() && whole.Skipped() == pieces.Skipped());
  std::size_t accounted = whole.Pending() + whole.Skipped();
  for (const ParsedRequest& r : from_whole) {
    CheckRequest(r);
    accounted += r.raw.size();
  }
  RD_FUZZ_CHECK(accounted == length);

  // A pause on the line: each resync gives up at least one held byte.
  std::vector<ParsedRequest> after;
  while (pieces.Pending() > 0) {
    const std::size_t held = pieces.Pending();
    pieces.Resync(after);
    RD_FUZZ_CHECK(pieces.Pending() < held);
  }
  for (const ParsedRequest& r : after) CheckRequest(r);
  return 0;
}
