// A program built against an installed RaroreDoziri: one session with a scale
// through the C++ API, then a failure status through the member table.
//   consumer ADDRESS|COMn
// Prints what it read; exits 0 when every step gave what it should.
#include <raroredoziri/ErrorInfo.h>
#include <raroredoziri/Members.h>
#include <raroredoziri/Scale.h>

#include <cstdio>
#include <string>

namespace {

std::u16string Widen(const char* text) {
  std::u16string wide;
  for (; *text != '\0'; ++text) wide.push_back(static_cast<unsigned char>(*text));
  return wide;
}

bool Step(const char* name, std::int32_t code) {
  std::printf("%s=%d\n", name, static_cast<int>(code));
  return code == rd::kResultDone;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: consumer ADDRESS|COMn\n");
    return 2;
  }
  rd::TScale scale;
  scale.put_Connection(Widen(argv[1]));
  bool ok = Step("OpenConnection", scale.OpenConnection());
  if (ok && Step("ReadWeight", scale.ReadWeight())) {
    std::printf("Weight=%d Division=%d Stable=%d\n", static_cast<int>(scale.get_Weight()),
                static_cast<int>(scale.get_Division()), static_cast<int>(scale.get_Stable()));
  } else {
    ok = false;
  }
  scale.put_Goods(u"Milk");
  ok = Step("SetGoods", scale.SetGoods()) && ok;

  // Members called by DISPID run under the member guard: a put of -1 into an
  // 8-bit property gives the failure status with its error description.
  const rd::MemberInfo* screen = rd::FindMember(rd::DispidOfName("Screen"), rd::MemberKind::Put);
  rd::MemberValue value = std::int8_t{-1};
  const std::int32_t status = screen != nullptr ? rd::InvokeMember(scale, *screen, value) : 0;
  const auto error = rd::TakeErrorInfo();
  std::string description;
  if (error) {
    for (const char16_t unit : error->description) description.push_back(static_cast<char>(unit));
  }
  std::printf("Screen=-1 status=0x%08X description=%s\n", static_cast<unsigned>(status),
              description.c_str());
  ok = ok && status == rd::kStatusUnexpected && description == "Range check error";

  ok = Step("CloseConnection", scale.CloseConnection()) && ok;
  return ok ? 0 : 1;
}
