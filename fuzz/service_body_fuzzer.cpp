// The scale service's command body: arbitrary bytes as the JSON body of a
// command request. The first byte picks the command. Every body gets 200,
// 400 or 413; a failure has an error text; an accepted body's puts either
// all go through or stop at one with the object's error text, and then the
// command's body is built as the scale would receive it.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "CommandBody.h"
#include "raroredoziri/Scale.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t code = static_cast<std::uint8_t>(0xA2 + data[0] % 14);
  const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);

  rd::service::PropertyPuts puts;
  const rd::service::Outcome parsed = rd::service::ParseCommandBody(body, puts);
  if (parsed.status != 200 && parsed.status != 400 && parsed.status != 413) std::abort();
  if (parsed.Ok() != parsed.error.empty()) std::abort();
  if (!parsed.Ok()) {
    if (!puts.puts.empty() && parsed.status == 413) std::abort();
    return 0;
  }
  for (const auto& [member, value] : puts.puts) {
    if (member == nullptr || member->kind != rd::MemberKind::Put || member->name == "Connection") {
      std::abort();
    }
  }
  rd::TScale scale;
  const rd::service::Outcome applied = rd::service::ApplyPuts(scale, puts);
  if (applied.status != 200 && applied.status != 400) std::abort();
  if (!applied.Ok() && (applied.error.empty() || applied.property.empty())) std::abort();
  if (applied.Ok() && scale.CommandBody(code).empty()) std::abort();
  return 0;
}
