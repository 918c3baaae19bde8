// RaroreDoziri sample for C++: early binding through IScale's virtual table,
// declared by the type library.
//
//   MSVC:   cl /EHsc /std:c++17 /I..\.. scale_client.cpp ole32.lib oleaut32.lib
//           (#import reads RaroreDoziri.tlb from the package's top folder)
//   MinGW:  x86_64-w64-mingw32-g++ -std=c++17 -I../../include scale_client.cpp
//           -o scale_client.exe -static -lole32 -loleaut32 -luuid
//           (include/RaroreDoziri_TLB.h holds the same declarations)
//   scale_client.exe [connection]
//
// connection: "COM3" for serial port 3, or the scale's IP address (TCP port
// 5001); default "127.0.0.1". A 64-bit program needs x64\register.cmd, a
// 32-bit one x86\register.cmd.
//
// Every member returns an HRESULT. Methods put their result code (0 done,
// 1 no usable connection, 2 no complete reply, 4 not available with the
// legacy protocol, 5 refused by the scale) into their last parameter. A
// failure HRESULT comes with error information: GetErrorInfo gives its
// description.
// windows.h comes first: the other Windows headers build on it.
// clang-format off
#include <windows.h>
#include <ole2.h>
// clang-format on

#include <cstdio>
#include <string>

#if defined(_MSC_VER)
#import "RaroreDoziri.tlb" raw_interfaces_only no_namespace
#else
#include "RaroreDoziri_TLB.h"
#endif

namespace {

const char* Meaning(long code) {
  switch (code) {
    case 0:
      return "done";
    case 1:
      return "no usable connection";
    case 2:
      return "no complete reply";
    case 4:
      return "not available with the legacy protocol";
    case 5:
      return "refused by the scale";
    default:
      return "unknown result code";
  }
}

// The description of the calling thread's error information, if any.
std::wstring ErrorDescription() {
  std::wstring text = L"(no error information)";
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
    BSTR description = nullptr;
    if (SUCCEEDED(info->GetDescription(&description)) && description != nullptr) {
      text.assign(description, SysStringLen(description));
      SysFreeString(description);
    }
    info->Release();
  }
  return text;
}

// Stops the sample on a failure HRESULT, printing the error description.
bool Check(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return true;
  std::printf("%s failed: %ls (HRESULT 0x%08lX)\n", what, ErrorDescription().c_str(),
              static_cast<unsigned long>(hr));
  return false;
}

// Calls a method and prints its result code; true when it was carried out.
bool Report(IScale* scale, HRESULT (STDMETHODCALLTYPE IScale::*method)(long*), const char* name) {
  long code = -1;
  if (!Check((scale->*method)(&code), name)) return false;
  std::printf("%s: %ld (%s)\n", name, code, Meaning(code));
  return code == 0;
}

// The 8-bit properties are VT_I1: `signed char` in the widl declarations,
// `char` in those of #import. This reads either as an int.
template <class Byte>
HRESULT GetByte(IScale* scale, HRESULT (STDMETHODCALLTYPE IScale::*get)(Byte*), int& value) {
  Byte byte = 0;
  const HRESULT hr = (scale->*get)(&byte);
  value = static_cast<signed char>(byte);
  return hr;
}

int Run(IScale* scale, const std::wstring& connection) {
  BSTR text = SysAllocString(connection.c_str());
  const HRESULT put = scale->put_Connection(text);
  SysFreeString(text);
  if (!Check(put, "Connection")) return 1;

  if (!Report(scale, &IScale::OpenConnection, "OpenConnection")) {
    std::printf("No scale answers at %ls.\n", connection.c_str());
    return 2;
  }

  // Live weight with its division code and stability flag.
  if (Report(scale, &IScale::ReadWeight, "ReadWeight")) {
    long weight = 0, division = 0;
    int stable = 0;
    if (Check(scale->get_Weight(&weight), "Weight") &&
        Check(scale->get_Division(&division), "Division") &&
        Check(GetByte(scale, &IScale::get_Stable, stable), "Stable")) {
      std::printf("Weight=%ld Division=%ld Stable=%d\n", weight, division, stable);
    }
  }

  // Tare: reports 4 on a serial scale that speaks the legacy protocol.
  if (Report(scale, &IScale::ReadTare, "ReadTare")) {
    long tare = 0, division = 0;
    if (Check(scale->get_Tare(&tare), "Tare") &&
        Check(scale->get_Division(&division), "Division")) {
      std::printf("Tare=%ld Division=%ld\n", tare, division);
    }
  }

  // One configuration download: the goods text (15 characters on the scale).
  BSTR goods = SysAllocString(L"Milk 3.5%");
  const HRESULT put_goods = scale->put_Goods(goods);
  SysFreeString(goods);
  if (Check(put_goods, "Goods")) Report(scale, &IScale::SetGoods, "SetGoods");

  // The screen setting: a scale may refuse it (result code 5).
  if (Check(scale->put_Screen(1), "Screen")) Report(scale, &IScale::SetScreen, "SetScreen");

  // A failure status: the 8-bit properties take 0 to 127, so -1 is refused
  // with E_UNEXPECTED and the description "Range check error".
  const HRESULT hr = scale->put_Screen(-1);
  if (FAILED(hr)) {
    std::printf("Screen = -1 failed: %ls (HRESULT 0x%08lX)\n", ErrorDescription().c_str(),
                static_cast<unsigned long>(hr));
  }
  int screen = 0;
  if (Check(GetByte(scale, &IScale::get_Screen, screen), "Screen")) {
    std::printf("Screen is still %d\n", screen);
  }

  Report(scale, &IScale::CloseConnection, "CloseConnection");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::wstring connection = L"127.0.0.1";
  if (argc > 1) {
    const int n = MultiByteToWideChar(CP_ACP, 0, argv[1], -1, nullptr, 0);
    if (n > 0) {
      connection.assign(static_cast<size_t>(n), L'\0');
      MultiByteToWideChar(CP_ACP, 0, argv[1], -1, &connection[0], n);
      connection.resize(static_cast<size_t>(n - 1));
    }
  }

  // An apartment-threaded object: the thread joins a single-threaded apartment.
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  int status = 1;
  IScale* scale = nullptr;
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(L"RaroreDoziri.Scale", &clsid);
  if (SUCCEEDED(hr)) {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IScale),
                          reinterpret_cast<void**>(&scale));
  }
  if (FAILED(hr)) {
    std::printf(
        "RaroreDoziri.Scale could not be created (HRESULT 0x%08lX): is the driver of this "
        "program's bitness registered?\n",
        static_cast<unsigned long>(hr));
  } else {
    status = Run(scale, connection);
    scale->Release();
  }
  CoUninitialize();
  return status;
}
