// Property puts with arbitrary UTF-16 (lone surrogates, embedded NULs, very
// long strings) and arbitrary numbers, through the member guard as a host
// makes them, then the body of every configuration command: its length is
// always the command's fixed length, every text field holds its text's first
// units (or bytes) filled with spaces, and a wide-text get returns exactly
// what was put.
#include <array>
#include <string>

#include "FakeTransport.h"
#include "raroredoziri/ErrorInfo.h"
#include "raroredoziri/Frame.h"
#include "raroredoziri/Members.h"
#include "raroredoziri/Text.h"

namespace {

using rd::Bytes;

struct Command {
  std::uint8_t code;
  std::size_t length;
};
constexpr std::array<Command, 14> kCommands{{{0xA2, 16},
                                             {0xA3, 5},
                                             {0xA4, 6},
                                             {0xA5, 6},
                                             {0xA6, 2},
                                             {0xA7, 2},
                                             {0xA8, 20},
                                             {0xA9, 10},
                                             {0xAA, 25},
                                             {0xAB, 121},
                                             {0xAC, 11},
                                             {0xAD, 8},
                                             {0xAE, 2},
                                             {0xAF, 2}}};

std::u16string FuzzText(FuzzedDataProvider& in) {
  std::u16string text;
  switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0:  // very long
      text.assign(in.ConsumeIntegralInRange<std::size_t>(1000, 20000),
                  in.ConsumeIntegral<char16_t>());
      break;
    default: {
      const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 40);
      for (std::size_t i = 0; i < n; ++i) {
        switch (in.ConsumeIntegralInRange(0, 4)) {
          case 0:
            text.push_back(in.ConsumeIntegralInRange<char16_t>(0xD800, 0xDFFF));  // surrogates
            break;
          case 1:
            text.push_back(u'\0');
            break;
          default:
            text.push_back(in.ConsumeIntegral<char16_t>());
        }
      }
    }
  }
  return text;
}

// The expected bytes of a wide-text field with a single-byte code page.
Bytes WideField(const std::u16string& text, std::size_t width) {
  Bytes out;
  for (std::size_t i = 0; i < width; ++i) {
    out.push_back(i < text.size() ? static_cast<std::uint8_t>(rd::WideUnitToAnsi(text[i])[0])
                                  : 0x20);
  }
  return out;
}

Bytes AnsiField(const std::string& text, std::size_t width) {
  Bytes out;
  for (std::size_t i = 0; i < width; ++i) {
    out.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0x20);
  }
  return out;
}

bool Has(const Bytes& body, std::size_t at, const Bytes& field) {
  return body.size() >= at + field.size() &&
         std::equal(field.begin(), field.end(), body.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  static constexpr unsigned kCodePages[] = {1252, 1251, 1250, 866, 437, 1253};
  RD_FUZZ_CHECK(rd::SetCodePage(kCodePages[in.ConsumeIntegralInRange<std::size_t>(0, 5)]));

  rd::TScale scale;
  const auto& table = rd::MemberTable();
  for (int step = 0; step < 24 && in.remaining_bytes() > 0; ++step) {
    const rd::MemberInfo& member =
        table[in.ConsumeIntegralInRange<std::size_t>(0, table.size() - 1)];
    if (member.kind != rd::MemberKind::Put) continue;
    rd::MemberValue value;
    switch (member.type) {
      case rd::MemberType::Bstr:
        value = FuzzText(in);
        break;
      case rd::MemberType::I4:
        value = in.ConsumeIntegral<std::int32_t>();
        break;
      case rd::MemberType::I1:
        value = in.ConsumeIntegral<std::int8_t>();
        break;
    }
    const rd::MemberValue put = value;
    const std::int32_t status = rd::InvokeMember(scale, member, value);
    if (member.type == rd::MemberType::I1 && std::get<std::int8_t>(put) < 0) {
      // Bytes above 127 are refused with a range error.
      RD_FUZZ_CHECK(status == rd::kStatusUnexpected);
      const auto error = rd::TakeErrorInfo();
      RD_FUZZ_CHECK(error && error->description == u"Range check error");
      continue;
    }
    RD_FUZZ_CHECK(status == rd::kStatusOk);
    rd::MemberValue got;
    const rd::MemberInfo* getter = rd::FindMember(member.dispid, rd::MemberKind::Get);
    RD_FUZZ_CHECK(getter != nullptr && rd::InvokeMember(scale, *getter, got) == rd::kStatusOk);
    if (member.type != rd::MemberType::Bstr) {
      RD_FUZZ_CHECK(got == put);
    } else if (member.name == "Connection" || member.name == "Goods" || member.name == "Operator" ||
               member.name == "RegistratorStore" || member.name == "Agent") {
      RD_FUZZ_CHECK(got == put);  // wide text is kept unchanged, NULs and surrogates included
    } else {
      // 8-bit text: one byte per code unit, read back through the code page.
      const std::u16string& text = std::get<std::u16string>(put);
      RD_FUZZ_CHECK(std::get<std::u16string>(got) == rd::AnsiToWide(rd::WideToAnsi(text)));
      RD_FUZZ_CHECK(std::get<std::u16string>(got).size() == text.size());
    }
  }

  for (const Command& command : kCommands) {
    const Bytes body = scale.CommandBody(command.code);
    RD_FUZZ_CHECK(body.size() == command.length && body[0] == command.code);
    RD_FUZZ_CHECK(rd::BuildFrame(body).size() == command.length + rd::kFrameOverhead);
  }
  RD_FUZZ_CHECK(Has(scale.CommandBody(0xA2), 1, WideField(scale.Goods, 15)));
  RD_FUZZ_CHECK(Has(scale.CommandBody(0xA8), 2, WideField(scale.RegistratorStore, 9)));
  RD_FUZZ_CHECK(Has(scale.CommandBody(0xA8), 11, WideField(scale.Agent, 9)));
  RD_FUZZ_CHECK(scale.CommandBody(0xA8)[1] == static_cast<std::uint8_t>(scale.Operation & 0xFF));
  RD_FUZZ_CHECK(Has(scale.CommandBody(0xA9), 1, WideField(scale.Operator, 9)));
  RD_FUZZ_CHECK(Has(scale.CommandBody(0xA4), 1, AnsiField(scale.LabelFormat, 5)));
  RD_FUZZ_CHECK(Has(scale.CommandBody(0xA5), 1, AnsiField(scale.LabelFormatZ, 5)));
  RD_FUZZ_CHECK(Has(scale.CommandBody(0xAA), 1, AnsiField(scale.Text, 24)));
  const Bytes buttons = scale.CommandBody(0xAB);
  const std::string* texts[] = {&scale.GoodsButton1, &scale.GoodsButton2, &scale.GoodsButton3,
                                &scale.GoodsButton4, &scale.GoodsButton5, &scale.GoodsButton6,
                                &scale.GoodsButton7, &scale.GoodsButton8};
  for (std::size_t i = 0; i < 8; ++i)
    RD_FUZZ_CHECK(Has(buttons, 1 + 15 * i, AnsiField(*texts[i], 15)));

  // A code outside the table is refused with a fault, never a body.
  try {
    (void)scale.CommandBody(static_cast<std::uint8_t>(in.ConsumeIntegralInRange(0xB0, 0x1A1)));
    RD_FUZZ_CHECK(false);
  } catch (const rd::Fault&) {
  }
  return 0;
}
