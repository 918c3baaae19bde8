#include <windows.h>
// windows.h must come first.
#include <oleauto.h>

#include "ComPtr.h"
#include "raroredoziri/ErrorInfo.h"
#include "raroredoziri/Text.h"

namespace rd {
namespace {

GUID ToGuid(const Guid& g) {
  GUID out;
  out.Data1 = g.data1;
  out.Data2 = g.data2;
  out.Data3 = g.data3;
  for (int i = 0; i < 8; ++i) out.Data4[i] = g.data4[i];
  return out;
}

Guid FromGuid(const GUID& g) {
  Guid out{g.Data1, g.Data2, g.Data3, {}};
  for (int i = 0; i < 8; ++i) out.data4[i] = g.Data4[i];
  return out;
}

}  // namespace

std::int32_t FaultToStatus(const Fault& fault) noexcept {
  HRESULT status = E_UNEXPECTED;
  try {
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.put()))) return status;
    const GUID guid = ToGuid(kErrorGuid);
    create->SetGUID(guid);
    create->SetSource(const_cast<LPOLESTR>(reinterpret_cast<const wchar_t*>(kErrorSource)));
    std::u16string description = AnsiToWide(fault.Text());
    create->SetDescription(
        const_cast<LPOLESTR>(reinterpret_cast<const wchar_t*>(description.c_str())));
    create->SetHelpContext(static_cast<DWORD>(fault.HelpContext()));
    if (const auto* platform = dynamic_cast<const PlatformCallError*>(&fault)) {
      if (platform->Status() < 0) status = platform->Status();
    }
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.put())))) {
      SetErrorInfo(0, info.get());
    }
  } catch (...) {
  }
  return status;
}

std::optional<ErrorRecord> TakeErrorInfo() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK || !info) return std::nullopt;
  ErrorRecord record;
  GUID guid{};
  info->GetGUID(&guid);
  record.guid = FromGuid(guid);
  Bstr source, description;
  info->GetSource(source.put());
  info->GetDescription(description.put());
  record.source = source.str();
  record.description = description.str();
  DWORD context = 0;
  info->GetHelpContext(&context);
  record.help_context = static_cast<std::int32_t>(context);
  return record;
}

}  // namespace rd
