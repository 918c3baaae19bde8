// The type library built into RaroreDoziri.dll, read back with the automation
// runtime and compared with the member table: library attributes, the two
// types, and for every member its name, DISPID, kind, parameter and place in
// the virtual table.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "raroredoziri/Members.h"
#include "server_test_support.h"

namespace rd::test {
namespace {

const GUID kLibId = {0x721BA90E, 0xDAB2, 0x4610, {0xB7, 0xC0, 0x70, 0x03, 0x80, 0x4B, 0xC8, 0x3A}};
const GUID kStdOle = {0x00020430, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

std::u16string Str(const Bstr& text) { return text.str(); }

class TypeAttrOf {
 public:
  explicit TypeAttrOf(ITypeInfo* info) : info_(info) {
    EXPECT_EQ(info_->GetTypeAttr(&attr_), S_OK);
  }
  ~TypeAttrOf() {
    if (attr_) info_->ReleaseTypeAttr(attr_);
  }
  TypeAttrOf(const TypeAttrOf&) = delete;
  TypeAttrOf& operator=(const TypeAttrOf&) = delete;
  const TYPEATTR* operator->() const { return attr_; }

 private:
  ITypeInfo* info_;
  TYPEATTR* attr_ = nullptr;
};

class TypeLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LoadTypeLib(ServerPath().c_str(), lib_.put()), S_OK);
    ASSERT_EQ(lib_->GetTypeInfoCount(), 2u);
    ASSERT_EQ(lib_->GetTypeInfo(0, dispatch_.put()), S_OK);
    ASSERT_EQ(lib_->GetTypeInfo(1, coclass_.put()), S_OK);
    // The interface view of the dual interface.
    HREFTYPE ref = 0;
    ASSERT_EQ(dispatch_->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
    ASSERT_EQ(dispatch_->GetRefTypeInfo(ref, interface_.put()), S_OK);
  }

  static VARTYPE VarTypeOf(MemberType type) {
    switch (type) {
      case MemberType::I1:
        return VT_I1;
      case MemberType::I4:
        return VT_I4;
      case MemberType::Bstr:
        return VT_BSTR;
    }
    return VT_EMPTY;
  }
  static INVOKEKIND InvokeKindOf(MemberKind kind) {
    switch (kind) {
      case MemberKind::Get:
        return INVOKE_PROPERTYGET;
      case MemberKind::Put:
        return INVOKE_PROPERTYPUT;
      case MemberKind::Method:
        return INVOKE_FUNC;
    }
    return INVOKE_FUNC;
  }

  ComPtr<ITypeLib> lib_;
  ComPtr<ITypeInfo> dispatch_;
  ComPtr<ITypeInfo> coclass_;
  ComPtr<ITypeInfo> interface_;
};

TEST_F(TypeLibraryTest, LibraryAttributes) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(lib_->GetLibAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, kLibId));
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  EXPECT_EQ(attr->lcid, 1033u);
  EXPECT_EQ(attr->syskind, SYS_WIN32);
  // No restricted, control or hidden flag; the runtime adds "has disk image".
  EXPECT_EQ(attr->wLibFlags & ~LIBFLAG_FHASDISKIMAGE, 0);
  lib_->ReleaseTLibAttr(attr);
  Bstr name, doc, help_file;
  DWORD context = 1;
  ASSERT_EQ(lib_->GetDocumentation(-1, name.put(), doc.put(), &context, help_file.put()), S_OK);
  EXPECT_EQ(Str(name), u"RaroreDoziri");
  EXPECT_EQ(Str(doc), u"RaroreDoziri Library");
  EXPECT_EQ(help_file.get(), nullptr);
  EXPECT_EQ(context, 0u);
}

TEST_F(TypeLibraryTest, DualInterfaceIScale) {
  TYPEKIND kind{};
  ASSERT_EQ(lib_->GetTypeInfoType(0, &kind), S_OK);
  EXPECT_EQ(kind, TKIND_DISPATCH);
  {
    const TypeAttrOf attr(dispatch_.get());
    EXPECT_TRUE(IsEqualGUID(attr->guid, IID_IScale));
    // The runtime reports the dispatch view of a dual interface without the
    // oleautomation flag; the interface view below carries all three.
    EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
  }
  Bstr name, doc;
  ASSERT_EQ(dispatch_->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), nullptr, nullptr),
            S_OK);
  EXPECT_EQ(Str(name), u"IScale");
  EXPECT_EQ(Str(doc), u"Dispatch interface for Scale Object");

  const TypeAttrOf attr(interface_.get());
  EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
  EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
  EXPECT_EQ(attr->wTypeFlags, 0x1140);
  EXPECT_EQ(attr->cFuncs, kMemberCount);
  // The base is IDispatch from the imported stdole2.tlb, version 2.0.
  ASSERT_EQ(attr->cImplTypes, 1);
  HREFTYPE ref = 0;
  ASSERT_EQ(interface_->GetRefTypeOfImplType(0, &ref), S_OK);
  ComPtr<ITypeInfo> base;
  ASSERT_EQ(interface_->GetRefTypeInfo(ref, base.put()), S_OK);
  const TypeAttrOf base_attr(base.get());
  EXPECT_TRUE(IsEqualGUID(base_attr->guid, IID_IDispatch));
  ComPtr<ITypeLib> imported;
  UINT index = 0;
  ASSERT_EQ(base->GetContainingTypeLib(imported.put(), &index), S_OK);
  TLIBATTR* lib_attr = nullptr;
  ASSERT_EQ(imported->GetLibAttr(&lib_attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(lib_attr->guid, kStdOle));
  EXPECT_EQ(lib_attr->wMajorVerNum, 2);
  EXPECT_EQ(lib_attr->wMinorVerNum, 0);
  imported->ReleaseTLibAttr(lib_attr);
}

TEST_F(TypeLibraryTest, EveryMemberInVirtualTableOrder) {
  const auto& table = MemberTable();
  for (UINT i = 0; i < kMemberCount; ++i) {
    const MemberInfo& m = table[i];
    SCOPED_TRACE(std::string(m.name) + " #" + std::to_string(i));
    FUNCDESC* func = nullptr;
    ASSERT_EQ(interface_->GetFuncDesc(i, &func), S_OK);
    EXPECT_EQ(func->memid, m.dispid);
    EXPECT_EQ(func->invkind, InvokeKindOf(m.kind));
    EXPECT_EQ(func->funckind, FUNC_PUREVIRTUAL);
    EXPECT_EQ(func->callconv, CC_STDCALL);
    EXPECT_EQ(func->oVft, static_cast<SHORT>((7 + i) * sizeof(void*)));
    EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_HRESULT);
    ASSERT_EQ(func->cParams, 1);
    const ELEMDESC& param = func->lprgelemdescParam[0];
    if (m.kind == MemberKind::Put) {
      EXPECT_EQ(param.tdesc.vt, VarTypeOf(m.type));
      EXPECT_EQ(param.paramdesc.wParamFlags, PARAMFLAG_FIN);
    } else {
      ASSERT_EQ(param.tdesc.vt, VT_PTR);
      EXPECT_EQ(param.tdesc.lptdesc->vt, VarTypeOf(m.type));
      EXPECT_EQ(param.paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
    }
    interface_->ReleaseFuncDesc(func);

    BSTR names[3] = {};
    UINT count = 0;
    ASSERT_EQ(interface_->GetNames(m.dispid, names, 3, &count), S_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(Text(names[0]), std::wstring(m.name.begin(), m.name.end()));
    EXPECT_EQ(Text(names[1]), L"Value");
    for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
  }
}

TEST_F(TypeLibraryTest, DispatchViewHoldsExactlyTheMembers) {
  std::set<std::pair<MEMBERID, INVOKEKIND>> expected, found;
  for (const MemberInfo& m : MemberTable()) expected.insert({m.dispid, InvokeKindOf(m.kind)});
  const TypeAttrOf attr(dispatch_.get());
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    FUNCDESC* func = nullptr;
    ASSERT_EQ(dispatch_->GetFuncDesc(i, &func), S_OK);
    // IUnknown's and IDispatch's members carry reserved DISPIDs.
    if (func->memid < 0x60000000) found.insert({func->memid, func->invkind});
    dispatch_->ReleaseFuncDesc(func);
  }
  EXPECT_EQ(found, expected);
  EXPECT_EQ(found.size(), kMemberCount);
}

TEST_F(TypeLibraryTest, CreatableCoclassScale) {
  TYPEKIND kind{};
  ASSERT_EQ(lib_->GetTypeInfoType(1, &kind), S_OK);
  EXPECT_EQ(kind, TKIND_COCLASS);
  const TypeAttrOf attr(coclass_.get());
  EXPECT_TRUE(IsEqualGUID(attr->guid, CLSID_Scale));
  EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FCANCREATE);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  ASSERT_EQ(attr->cImplTypes, 1);
  INT flags = 0;
  ASSERT_EQ(coclass_->GetImplTypeFlags(0, &flags), S_OK);
  EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
  HREFTYPE ref = 0;
  ASSERT_EQ(coclass_->GetRefTypeOfImplType(0, &ref), S_OK);
  ComPtr<ITypeInfo> implemented;
  ASSERT_EQ(coclass_->GetRefTypeInfo(ref, implemented.put()), S_OK);
  const TypeAttrOf implemented_attr(implemented.get());
  EXPECT_TRUE(IsEqualGUID(implemented_attr->guid, IID_IScale));
  Bstr name, doc;
  ASSERT_EQ(coclass_->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), nullptr, nullptr),
            S_OK);
  EXPECT_EQ(Str(name), u"Scale");
  EXPECT_EQ(Str(doc), u"Scale Object");
}

}  // namespace
}  // namespace rd::test
