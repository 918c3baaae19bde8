#include "CommandBody.h"

#include <limits>
#include <nlohmann/json.hpp>

#include "Utf8.h"
#include "raroredoziri/ErrorInfo.h"

namespace rd::service {
namespace {

constexpr std::int32_t kFirstCommandDispid = 247;  // SetGoods
constexpr std::int32_t kLastCommandDispid = 260;   // SetScreen

Outcome Fail(int status, std::string text, std::string_view property = {}) {
  return Outcome{status, std::move(text), std::string(property)};
}

// The properties each command sends, SetGoods to SetScreen.
const std::vector<std::vector<std::string_view>>& CommandTable() {
  static const std::vector<std::vector<std::string_view>> table = {
      {"Goods"},
      {"Tare"},
      {"LabelFormat"},
      {"LabelFormatZ"},
      {"Tape"},
      {"Underwinder"},
      {"Operation", "RegistratorStore", "Agent"},
      {"Operator"},
      {"Text"},
      {"GoodsButton1", "GoodsButton2", "GoodsButton3", "GoodsButton4", "GoodsButton5",
       "GoodsButton6", "GoodsButton7", "GoodsButton8"},
      {"Lock1", "Lock2", "Lock3", "Lock4", "Lock5", "Lock6", "Lock7", "Lock8", "Lock9", "Lock10"},
      {"OptionMoreLabels", "OptionPacking", "OptionAutoResetGoods", "OptionAutoRegistration",
       "OptionDocument", "OptionMultiple", "OptionFreePrice"},
      {"FindGoods"},
      {"Screen"},
  };
  return table;
}

}  // namespace

const MemberInfo* FindCommand(std::string_view name) {
  const std::int32_t dispid = DispidOfName(name);
  if (dispid < kFirstCommandDispid || dispid > kLastCommandDispid) return nullptr;
  return FindMember(dispid, MemberKind::Method);
}

const char* ResultMeaning(std::int32_t result) {
  switch (result) {
    case kResultDone:
      return "done";
    case kResultNoConnection:
      return "no usable connection";
    case kResultNoReply:
      return "no complete reply";
    case kResultLegacy:
      return "not available with the legacy protocol";
    case kResultRefused:
      return "refused by the scale";
    default:
      return "unknown result";
  }
}

Outcome ParseCommandBody(std::string_view body, PropertyPuts& out) {
  out.puts.clear();
  if (body.size() > kMaxBodyBytes) return Fail(413, "the body is larger than 64 KiB");
  if (body.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    return Fail(400, "the body is empty: send a JSON object of property names");
  }
  const nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
  if (doc.is_discarded()) return Fail(400, "the body is not valid JSON");
  if (!doc.is_object()) return Fail(400, "the body must be a JSON object of property names");
  for (const auto& [name, value] : doc.items()) {
    const std::int32_t dispid = DispidOfName(name);
    const MemberInfo* put = dispid < 0 ? nullptr : FindMember(dispid, MemberKind::Put);
    if (dispid < 0) return Fail(400, "unknown property \"" + name + "\"");
    if (put == nullptr) return Fail(400, "property \"" + name + "\" cannot be set");
    if (put->name == "Connection") {
      return Fail(400, "property \"Connection\" is the service's to set");
    }
    MemberValue member_value;
    if (put->type == MemberType::Bstr) {
      if (!value.is_string())
        return Fail(400, std::string(put->name) + " takes a string", put->name);
      member_value = cli::Utf8ToUtf16(value.get_ref<const std::string&>());
    } else {
      if (!value.is_number_integer())
        return Fail(400, std::string(put->name) + " takes an integer", put->name);
      // The object checks the range it accepts; a value beyond the member's
      // type is out of range as well.
      const bool is_i1 = put->type == MemberType::I1;
      const std::int64_t low = is_i1 ? std::numeric_limits<std::int8_t>::min()
                                     : std::numeric_limits<std::int32_t>::min();
      const std::int64_t high = is_i1 ? std::numeric_limits<std::int8_t>::max()
                                      : std::numeric_limits<std::int32_t>::max();
      bool in_range = false;
      std::int64_t number = 0;
      if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        in_range = u <= static_cast<std::uint64_t>(high);
        number = in_range ? static_cast<std::int64_t>(u) : 0;
      } else {
        number = value.get<std::int64_t>();
        in_range = number >= low && number <= high;
      }
      if (!in_range) return Fail(400, kRangeCheckError, put->name);
      if (is_i1) {
        member_value = static_cast<std::int8_t>(number);
      } else {
        member_value = static_cast<std::int32_t>(number);
      }
    }
    out.puts.emplace_back(put, std::move(member_value));
  }
  return {};
}

Outcome ApplyPuts(TScale& scale, const PropertyPuts& puts) {
  for (const auto& [member, value] : puts.puts) {
    MemberValue copy = value;
    if (InvokeMember(scale, *member, copy) == kStatusOk) continue;
    const auto error = TakeErrorInfo();
    return Fail(400, error ? cli::Utf16ToUtf8(error->description) : std::string("failed"),
                member->name);
  }
  return {};
}

nlohmann::ordered_json CommandValues(TScale& scale, const MemberInfo& command) {
  nlohmann::ordered_json values = nlohmann::ordered_json::object();
  const auto index = static_cast<std::size_t>(command.dispid - kFirstCommandDispid);
  if (command.dispid < kFirstCommandDispid || index >= CommandTable().size()) return values;
  for (const std::string_view name : CommandTable()[index]) {
    const MemberInfo* get = FindMember(DispidOfName(name), MemberKind::Get);
    MemberValue value;
    if (get == nullptr || InvokeMember(scale, *get, value) != kStatusOk) continue;
    const std::string key(get->name);
    if (const auto* text = std::get_if<std::u16string>(&value)) {
      values[key] = cli::Utf16ToUtf8(*text);
    } else if (const auto* i1 = std::get_if<std::int8_t>(&value)) {
      values[key] = static_cast<int>(*i1);
    } else if (const auto* i4 = std::get_if<std::int32_t>(&value)) {
      values[key] = *i4;
    }
  }
  return values;
}

}  // namespace rd::service
