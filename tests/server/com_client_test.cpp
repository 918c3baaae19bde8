// A C++ client of RaroreDoziri.dll in a real COM runtime: the exports and
// the class object with their counting, aggregation, the object's
// interfaces, early- and late-bound members, error information, and creation
// through the registry by CLSID and ProgID.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "raroredoziri/ErrorInfo.h"
#include "raroredoziri/Members.h"
#include "server_test_support.h"
#include "transport/tcp_peer.h"

namespace rd::test {
namespace {

class ComEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK); }
  void TearDown() override { CoUninitialize(); }
};
const auto* const kComEnvironment = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

constexpr HRESULT kUnexpected = static_cast<HRESULT>(0x8000FFFF);

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll().Loaded()) << "cannot load the server DLL";
    // Every test starts and ends with nothing alive and nothing locked.
    ASSERT_EQ(dll().CanUnloadNow(), S_OK);
  }
  void TearDown() override { EXPECT_EQ(dll().CanUnloadNow(), S_OK); }

  static ServerDll& dll() { return ServerDll::Get(); }

  static ComPtr<IClassFactory> Factory() {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(dll().GetClassObject(CLSID_Scale, IID_IClassFactory, factory.put_void()), S_OK);
    return factory;
  }
  static ComPtr<IScale> NewScale() {
    ComPtr<IScale> scale;
    EXPECT_EQ(Factory()->CreateInstance(nullptr, IID_IScale, scale.put_void()), S_OK);
    return scale;
  }
  static ComPtr<IDispatch> NewDispatch() {
    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(Factory()->CreateInstance(nullptr, IID_IDispatch, dispatch.put_void()), S_OK);
    return dispatch;
  }
};

// ---- Exports and the class object --------------------------------------------

TEST_F(ServerTest, ClassObjectIsCountedWhileHeld) {
  {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(dll().GetClassObject(CLSID_Scale, IID_IClassFactory, factory.put_void()), S_OK);
    EXPECT_EQ(dll().CanUnloadNow(), S_FALSE);
    // AddRef and Release report the module's class reference count.
    EXPECT_EQ(factory->AddRef(), 2u);
    EXPECT_EQ(factory->Release(), 1u);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(dll().GetClassObject(CLSID_Scale, IID_IUnknown, unknown.put_void()), S_OK);
    EXPECT_EQ(unknown.get(), static_cast<IUnknown*>(factory.get()));
  }
  EXPECT_EQ(dll().CanUnloadNow(), S_OK);
}

TEST_F(ServerTest, GetClassObjectRefusals) {
  const GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  struct Case {
    const char* what;
    const GUID* clsid;
    const IID* iid;
    HRESULT status;
  } cases[] = {
      {"unknown class", &other, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
      {"the IID of IScale as class", &IID_IScale, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
      {"IDispatch from the class object", &CLSID_Scale, &IID_IDispatch, E_NOINTERFACE},
  };
  for (const Case& c : cases) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(dll().GetClassObject(*c.clsid, *c.iid, &out), c.status) << c.what;
    EXPECT_EQ(out, nullptr) << c.what;
    EXPECT_EQ(dll().CanUnloadNow(), S_OK) << c.what;
  }
}

TEST_F(ServerTest, ClassObjectAnswersOnlyUnknownAndClassFactory) {
  ComPtr<IClassFactory> factory = Factory();
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(factory.As(unknown, IID_IUnknown), S_OK);
  ComPtr<IDispatch> dispatch;
  EXPECT_EQ(factory.As(dispatch, IID_IDispatch), E_NOINTERFACE);
  EXPECT_FALSE(dispatch);
}

TEST_F(ServerTest, ObjectsAreCountedUntilReleased) {
  ComPtr<IScale> scale = NewScale();
  ASSERT_TRUE(scale);
  EXPECT_EQ(dll().CanUnloadNow(), S_FALSE);
  scale.reset();
  EXPECT_EQ(dll().CanUnloadNow(), S_OK);
}

TEST_F(ServerTest, CreateInstanceRefusals) {
  ComPtr<IClassFactory> factory = Factory();
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IScale, nullptr), E_POINTER);
  // An interface the object lacks: nothing survives.
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  factory.reset();
  EXPECT_EQ(dll().CanUnloadNow(), S_OK);
}

TEST_F(ServerTest, LockServerKeepsTheModule) {
  ComPtr<IClassFactory> factory = Factory();
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  IClassFactory* raw = factory.get();
  factory.reset();
  EXPECT_EQ(dll().CanUnloadNow(), S_FALSE);
  EXPECT_EQ(raw->LockServer(FALSE), S_OK);
  EXPECT_EQ(dll().CanUnloadNow(), S_OK);
}

TEST_F(ServerTest, UnbalancedUnlockKeepsTheModuleUntilBalanced) {
  ComPtr<IClassFactory> factory = Factory();
  IClassFactory* raw = factory.get();
  factory.reset();
  raw->LockServer(FALSE);  // no lock to release: the count goes below zero
  EXPECT_EQ(dll().CanUnloadNow(), S_FALSE);
  raw->LockServer(TRUE);
  // The runtime's own external lock from that call is not the module's count:
  // drop it directly, the module's count is balanced already.
  CoLockObjectExternal(raw, FALSE, TRUE);
  EXPECT_EQ(dll().CanUnloadNow(), S_OK);
}

// ---- Aggregation ---------------------------------------------------------------

// A controlling unknown on the stack that counts what reaches it.
class Outer final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    ++queries;
    if (IsEqualIID(iid, IID_IUnknown)) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    if (inner) return inner->QueryInterface(iid, out);
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }

  LONG refs = 1;
  int queries = 0;
  IUnknown* inner = nullptr;
};

TEST_F(ServerTest, AggregationOnlyThroughIUnknown) {
  Outer outer;
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(Factory()->CreateInstance(&outer, IID_IScale, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(outer.refs, 1);
}

TEST_F(ServerTest, AggregatedObjectForwardsToTheOuterUnknown) {
  Outer outer;
  IUnknown* inner = nullptr;
  ASSERT_EQ(Factory()->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)),
            S_OK);
  outer.inner = inner;
  EXPECT_EQ(outer.refs, 1);  // the inner object does not reference its outer

  // The inner unknown never delegates.
  IUnknown* same = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&same)), S_OK);
  EXPECT_EQ(same, inner);
  same->Release();

  // Its other interfaces do: the reference that QueryInterface adds is the
  // outer's, and QueryInterface through them reaches the outer.
  IScale* scale = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IScale, reinterpret_cast<void**>(&scale)), S_OK);
  EXPECT_EQ(outer.refs, 2);
  const int queries = outer.queries;
  IUnknown* identity = nullptr;
  ASSERT_EQ(scale->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
  EXPECT_EQ(outer.queries, queries + 1);
  identity->Release();

  Bstr text(u"COM3");
  EXPECT_EQ(scale->put_Connection(text.get()), S_OK);
  Bstr back;
  EXPECT_EQ(scale->get_Connection(back.put()), S_OK);
  EXPECT_EQ(back.str(), u"COM3");

  scale->Release();
  EXPECT_EQ(outer.refs, 1);
  EXPECT_EQ(dll().CanUnloadNow(), S_FALSE);  // the inner object is still alive
  EXPECT_EQ(inner->Release(), 0u);
}

// ---- The object's interfaces ---------------------------------------------------

TEST_F(ServerTest, QueryInterfaceTable) {
  ComPtr<IScale> scale = NewScale();
  ComPtr<IUnknown> identity;
  ASSERT_EQ(scale.As(identity, IID_IUnknown), S_OK);
  for (const IID* iid : {&IID_IScale, &IID_IDispatch, &IID_IProvideClassInfo,
                         &IID_ISupportErrorInfo, &IID_IUnknown}) {
    ComPtr<IUnknown> found;
    EXPECT_EQ(scale.As(found, *iid), S_OK);
    // Every interface leads back to the one identity.
    ComPtr<IUnknown> back;
    ASSERT_EQ(found.As(back, IID_IUnknown), S_OK);
    EXPECT_EQ(back.get(), identity.get());
  }
  for (const IID* iid : {&IID_IClassFactory, &IID_IConnectionPointContainer,
                         &IID_IProvideClassInfo2, &IID_IPersist}) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(scale->QueryInterface(*iid, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
  }
}

TEST_F(ServerTest, SupportsErrorInfoForItsOwnInterfaces) {
  ComPtr<IScale> scale = NewScale();
  ComPtr<ISupportErrorInfo> support;
  ASSERT_EQ(scale.As(support, IID_ISupportErrorInfo), S_OK);
  for (const IID* iid : {&IID_IScale, &IID_IDispatch, &IID_IProvideClassInfo,
                         &IID_ISupportErrorInfo, &IID_IUnknown}) {
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(*iid), S_OK);
  }
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IClassFactory), S_FALSE);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IPersist), S_FALSE);
}

TEST_F(ServerTest, ProvidesClassInfoOfScale) {
  ComPtr<IScale> scale = NewScale();
  ComPtr<IProvideClassInfo> provide;
  ASSERT_EQ(scale.As(provide, IID_IProvideClassInfo), S_OK);
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(provide->GetClassInfo(info.put()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, CLSID_Scale));
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  info->ReleaseTypeAttr(attr);
  Bstr name;
  ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(name.str(), u"Scale");
}

TEST_F(ServerTest, TwoObjectsAreIndependent) {
  ComPtr<IScale> first = NewScale();
  ComPtr<IScale> second = NewScale();
  ASSERT_NE(first.get(), second.get());
  Bstr text(u"192.168.0.5");
  ASSERT_EQ(first->put_Connection(text.get()), S_OK);
  ASSERT_EQ(first->put_Tare(42), S_OK);
  Bstr other;
  ASSERT_EQ(second->get_Connection(other.put()), S_OK);
  EXPECT_EQ(other.str(), u"");
  LONG tare = -1;
  ASSERT_EQ(second->get_Tare(&tare), S_OK);
  EXPECT_EQ(tare, 0);
}

// ---- Members through the virtual table -----------------------------------------

TEST_F(ServerTest, EightBitPutOutOfRangeFailsWithErrorInformation) {
  ComPtr<IScale> scale = NewScale();
  ASSERT_EQ(scale->put_Screen(127), S_OK);
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(scale->put_Screen(-1), kUnexpected);
  // A later successful member leaves the error information in place.
  signed char screen = 0;
  ASSERT_EQ(scale->get_Screen(&screen), S_OK);
  EXPECT_EQ(screen, 127);
  const auto error = TakeErrorInfo();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->description, u"Range check error");
  EXPECT_EQ(error->source, u"RaroreDoziri.Scale");
  EXPECT_EQ(error->guid, kErrorGuid);
  EXPECT_EQ(error->help_context, 0);
}

TEST_F(ServerTest, NullOutPointerFailsAndRunsNothing) {
  ComPtr<IScale> scale = NewScale();
  struct Case {
    const char* member;
    HRESULT status;
  } cases[] = {
      {"get_Connection", scale->get_Connection(nullptr)},
      {"get_LabelFormat", scale->get_LabelFormat(nullptr)},
      {"get_Weight", scale->get_Weight(nullptr)},
      {"get_Lock3", scale->get_Lock3(nullptr)},
      {"ReadWeight", scale->ReadWeight(nullptr)},
      {"SetScreen", scale->SetScreen(nullptr)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.status, kUnexpected) << c.member;
  const auto error = TakeErrorInfo();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->description, u"Invalid pointer");
}

TEST_F(ServerTest, TextPropertiesRoundTrip) {
  ComPtr<IScale> scale = NewScale();
  // Wide text is kept unchanged, embedded zero and all.
  const std::u16string wide(u"Gouda \u0416\u4e2d x\0y", 11);
  Bstr in(wide);
  ASSERT_EQ(scale->put_Goods(in.get()), S_OK);
  Bstr out;
  ASSERT_EQ(scale->get_Goods(out.put()), S_OK);
  EXPECT_EQ(out.str(), wide);
  // A null string stores empty text; a get returns a string, not null.
  ASSERT_EQ(scale->put_Goods(nullptr), S_OK);
  ASSERT_EQ(scale->get_Goods(out.put()), S_OK);
  EXPECT_NE(out.get(), nullptr);
  EXPECT_EQ(out.str(), u"");
  // 8-bit text goes through the code page: ASCII comes back as it was.
  Bstr label(u"LBL-42");
  ASSERT_EQ(scale->put_LabelFormatZ(label.get()), S_OK);
  ASSERT_EQ(scale->get_LabelFormatZ(out.put()), S_OK);
  EXPECT_EQ(out.str(), u"LBL-42");
}

// ---- Late binding --------------------------------------------------------------

HRESULT Put(IDispatch* dispatch, DISPID id, VARIANT value, WORD flags = DISPATCH_PROPERTYPUT,
            EXCEPINFO* exception = nullptr) {
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&value, &named, 1, 1};
  return dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, nullptr, exception,
                          nullptr);
}

HRESULT Get(IDispatch* dispatch, DISPID id, VARIANT* result, WORD flags = DISPATCH_PROPERTYGET) {
  DISPPARAMS params{nullptr, nullptr, 0, 0};
  return dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr,
                          nullptr);
}

// A distinct value for every property, so that a get that reaches another
// member's field shows.
void ValueFor(const MemberInfo& member, VARIANT* value) {
  VariantInit(value);
  switch (member.type) {
    case MemberType::I1:
      value->vt = VT_I1;
      value->cVal = static_cast<CHAR>(member.dispid - 200);
      break;
    case MemberType::I4:
      value->vt = VT_I4;
      value->lVal = -(member.dispid * 1000 + 7);
      break;
    case MemberType::Bstr:
      value->vt = VT_BSTR;
      value->bstrVal = SysAllocString((L"V" + std::to_wstring(member.dispid)).c_str());
      break;
  }
}

TEST_F(ServerTest, EveryPropertyThroughDispatchLandsInItsOwnField) {
  ComPtr<IDispatch> dispatch = NewDispatch();
  ASSERT_TRUE(dispatch);
  bool has_put[300] = {};
  for (const MemberInfo& m : MemberTable()) {
    if (m.kind != MemberKind::Put) continue;
    Variant value;
    ValueFor(m, &value);
    EXPECT_EQ(Put(dispatch.get(), m.dispid, value), S_OK) << m.name;
    has_put[m.dispid] = true;
  }
  for (const MemberInfo& m : MemberTable()) {
    if (m.kind != MemberKind::Get) continue;
    Variant result;
    ASSERT_EQ(Get(dispatch.get(), m.dispid, &result), S_OK) << m.name;
    Variant expected;
    if (has_put[m.dispid]) {
      ValueFor(m, &expected);
    } else {
      expected.vt = m.type == MemberType::I1 ? VT_I1 : VT_I4;  // gets only: still 0
    }
    ASSERT_EQ(result.vt, expected.vt) << m.name;
    switch (m.type) {
      case MemberType::I1:
        EXPECT_EQ(result.cVal, expected.cVal) << m.name;
        break;
      case MemberType::I4:
        EXPECT_EQ(result.lVal, expected.lVal) << m.name;
        break;
      case MemberType::Bstr:
        EXPECT_EQ(Text(result.bstrVal), Text(expected.bstrVal)) << m.name;
        break;
    }
  }
  // The virtual table reaches the same fields.
  ComPtr<IScale> scale;
  ASSERT_EQ(dispatch.As(scale, IID_IScale), S_OK);
  LONG tare = 0;
  ASSERT_EQ(scale->get_Tare(&tare), S_OK);
  EXPECT_EQ(tare, -209007);
  signed char screen = 0;
  ASSERT_EQ(scale->get_Screen(&screen), S_OK);
  EXPECT_EQ(screen, 8);
  Bstr text;
  ASSERT_EQ(scale->get_Text(text.put()), S_OK);
  EXPECT_EQ(text.str(), u"V228");
}

TEST_F(ServerTest, EveryMethodThroughDispatchReportsNoConnection) {
  ComPtr<IDispatch> dispatch = NewDispatch();
  for (const MemberInfo& m : MemberTable()) {
    if (m.kind != MemberKind::Method) continue;
    Variant result;
    ASSERT_EQ(Get(dispatch.get(), m.dispid, &result, DISPATCH_METHOD), S_OK) << m.name;
    ASSERT_EQ(result.vt, VT_I4) << m.name;
    EXPECT_EQ(result.lVal, 1) << m.name;
  }
}

TEST_F(ServerTest, TypeInfoOfTheDispatchInterface) {
  ComPtr<IDispatch> first = NewDispatch();
  ComPtr<IDispatch> second = NewDispatch();
  UINT count = 0;
  ASSERT_EQ(first->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ITypeInfo* bad = reinterpret_cast<ITypeInfo*>(1);
  EXPECT_EQ(first->GetTypeInfo(1, 0, &bad), DISP_E_BADINDEX);
  EXPECT_EQ(bad, nullptr);
  ComPtr<ITypeInfo> info, other;
  ASSERT_EQ(first->GetTypeInfo(0, 0, info.put()), S_OK);
  ASSERT_EQ(second->GetTypeInfo(0, 0, other.put()), S_OK);
  EXPECT_EQ(info.get(), other.get());  // shared by all objects
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, IID_IScale));
  info->ReleaseTypeAttr(attr);
}

TEST_F(ServerTest, NamesToDispids) {
  ComPtr<IDispatch> dispatch = NewDispatch();
  struct Case {
    const wchar_t* name;
    HRESULT status;
    DISPID id;
  } cases[] = {
      {L"ReadWeight", S_OK, 204},
      {L"Connection", S_OK, 201},
      {L"readweight", S_OK, 204},
      {L"Tare", S_OK, 209},
      {L"Screen", S_OK, 208},
      {L"SetScreen", S_OK, 260},
      {L"NoSuchMember", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
  };
  for (const Case& c : cases) {
    LPOLESTR name = const_cast<LPOLESTR>(c.name);
    DISPID id = 0;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), c.status)
        << std::string(c.name, c.name + wcslen(c.name));
    EXPECT_EQ(id, c.id);
  }
}

TEST_F(ServerTest, PutAndPutByReferenceOfConnection) {
  ComPtr<IDispatch> dispatch = NewDispatch();
  ComPtr<IScale> scale;
  ASSERT_EQ(dispatch.As(scale, IID_IScale), S_OK);
  for (WORD flags : {WORD{DISPATCH_PROPERTYPUT}, WORD{DISPATCH_PROPERTYPUTREF}}) {
    const std::wstring text = flags == DISPATCH_PROPERTYPUT ? L"COM4" : L"10.0.0.7";
    Variant value;
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(text.c_str());
    ASSERT_EQ(Put(dispatch.get(), 201, value, flags), S_OK) << flags;
    Bstr back;
    ASSERT_EQ(scale->get_Connection(back.put()), S_OK);
    EXPECT_EQ(Text(back.get()), text);
  }
}

TEST_F(ServerTest, FailedPutThroughDispatchReportsTheException) {
  ComPtr<IDispatch> dispatch = NewDispatch();
  Variant value;
  value.vt = VT_I4;
  value.lVal = -1;  // converted to VT_I1 by the runtime
  EXCEPINFO exception{};
  EXPECT_EQ(Put(dispatch.get(), 208, value, DISPATCH_PROPERTYPUT, &exception), DISP_E_EXCEPTION);
  EXPECT_EQ(Text(exception.bstrDescription), L"Range check error");
  EXPECT_EQ(Text(exception.bstrSource), L"RaroreDoziri.Scale");
  EXPECT_EQ(exception.scode, kUnexpected);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrHelpFile);
  Variant screen;
  ASSERT_EQ(Get(dispatch.get(), 208, &screen), S_OK);
  EXPECT_EQ(screen.cVal, 0);
}

// ---- Unloading ----------------------------------------------------------------

// Once DllCanUnloadNow answers S_OK the host may unload the module at any
// moment, and nothing may be released under the loader lock then: the
// answer itself lets go of the process-wide connection (and the class object
// and type library), and the next class object starts afresh.
TEST_F(ServerTest, AnswerThatTheModuleMayGoClosesTheConnection) {
  // Each width on its own address: both may run at once.
  const std::string address = sizeof(void*) == 8 ? "127.116.64.1" : "127.116.32.1";
  PeerListener listener(address);
  ASSERT_TRUE(listener.Valid());
  PeerSocket peer;
  {
    ComPtr<IScale> scale = NewScale();
    Bstr connection(std::u16string(address.begin(), address.end()));
    ASSERT_EQ(scale->put_Connection(connection.get()), S_OK);
    std::thread answer([&] {
      peer = listener.Accept(3000);
      // Any reply of the right length will do for the connection's probe.
      if (peer.Valid() && !peer.Receive(1, 3000).empty()) peer.SendAll(Bytes(14, 0x30));
    });
    LONG result = -1;
    EXPECT_EQ(scale->OpenConnection(&result), S_OK);
    answer.join();
    EXPECT_EQ(result, 0);
  }
  ASSERT_TRUE(peer.Valid());
  peer.Receive(256, 200);  // the rest of the request
  // Releasing the object closes nothing.
  EXPECT_FALSE(peer.SeesClose(0));
  EXPECT_EQ(dll().CanUnloadNow(), S_OK);
  EXPECT_TRUE(peer.SeesClose(2000));
  // Started afresh.
  EXPECT_TRUE(NewScale());
}

// ---- Through the registry ------------------------------------------------------

TEST_F(ServerTest, CreationByClsidAndProgIdOnceRegistered) {
  ASSERT_EQ(dll().RegisterServer(), S_OK);
  ASSERT_EQ(dll().RegisterServer(), S_OK);  // again: the same values
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(L"RaroreDoziri.Scale", &clsid), S_OK);
  EXPECT_TRUE(IsEqualGUID(clsid, CLSID_Scale));
  {
    ComPtr<IScale> scale;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IScale, scale.put_void()),
              S_OK);
    ASSERT_EQ(scale->put_Operation(3), S_OK);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(CoCreateInstance(CLSID_Scale, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               dispatch.put_void()),
              S_OK);
    Variant operation;
    ASSERT_EQ(Get(dispatch.get(), 210, &operation), S_OK);
    EXPECT_EQ(operation.lVal, 0);  // a new, independent object
    // The runtime loaded the registered module: the one this test loaded.
    EXPECT_EQ(dll().CanUnloadNow(), S_FALSE);
  }
  ASSERT_EQ(dll().UnregisterServer(), S_OK);
  EXPECT_EQ(CLSIDFromProgID(L"RaroreDoziri.Scale", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(dll().UnregisterServer(), S_OK);  // nothing registered: still S_OK
}

TEST_F(ServerTest, RegistrationThatCannotWriteFails) {
  {
    ClassesRootGone gone;
    ASSERT_TRUE(gone.Active());
    EXPECT_EQ(dll().RegisterServer(), E_FAIL);
  }
  CLSID clsid{};
  EXPECT_NE(CLSIDFromProgID(L"RaroreDoziri.Scale", &clsid), S_OK);
}

}  // namespace
}  // namespace rd::test
