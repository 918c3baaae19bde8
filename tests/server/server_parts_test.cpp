// The server's parts on their own: binding the class object to a type
// library (and refusing libraries that do not fit), the module's counters,
// the class list, the module's own path in any folder, and registry texts.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "ClassFactory.h"
#include "ModulePath.h"
#include "Registration.h"
#include "ScaleObject.h"
#include "ServerModule.h"
#include "raroredoziri/Fault.h"
#include "server_test_support.h"

namespace rd::server {
namespace {

using test::ServerPath;
using test::TestTlbPath;

HMODULE Self() { return GetModuleHandleW(nullptr); }

TEST(ClassBinding, BindsToTheModulesTypeLibrary) {
  ServerModule module(Self(), ServerPath());
  ScaleClassObject factory(module);
  EXPECT_EQ(factory.ClassName(), "Scale");
  EXPECT_EQ(factory.Description(), "Scale Object");
  EXPECT_EQ(factory.ProgId(), "RaroreDoziri.Scale");
  EXPECT_TRUE(IsEqualGUID(factory.ErrorGuid(), IID_IScale));
  EXPECT_EQ(factory.DispatchInterface(), ScaleObject::FindInterface(IID_IScale));
  EXPECT_EQ(module.TypeLibName(), "RaroreDoziri");
  // The library is loaded once per module.
  EXPECT_EQ(module.TypeLib(), module.TypeLib());
}

TEST(ClassBinding, RefusesLibrariesThatDoNotFit) {
  struct Case {
    const char* tlb;
    const char* text;
  } cases[] = {
      {"tlb_no_class.tlb", "Type information missing for class TScale"},
      {"tlb_no_default.tlb", "Incorrect type information for class TScale"},
      {"tlb_foreign_default.tlb", "Dispatch interface missing from class TScale"},
  };
  for (const Case& c : cases) {
    ServerModule module(Self(), TestTlbPath(c.tlb));
    try {
      ScaleClassObject factory(module);
      ADD_FAILURE() << c.tlb << " was accepted";
    } catch (const PlatformCallError& error) {
      ADD_FAILURE() << c.tlb << ": platform error " << error.Text();
    } catch (const Fault& fault) {
      EXPECT_EQ(fault.Text(), c.text) << c.tlb;
    }
  }
}

TEST(ClassBinding, MissingTypeLibraryIsAPlatformError) {
  ServerModule module(Self(), L"Z:\\nonexistent\\none.tlb");
  try {
    ScaleClassObject factory(module);
    ADD_FAILURE() << "bound without a library";
  } catch (const PlatformCallError& error) {
    EXPECT_LT(error.Status(), 0);
  }
}

TEST(ClassObjectCounting, ReferencesObjectsAndLocks) {
  ServerModule module(Self(), ServerPath());
  ScaleClassObject factory(module);
  EXPECT_EQ(factory.AddRef(), 1u);
  EXPECT_EQ(module.ClassRefCount(), 1);
  EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory.Release(), 0u);

  // An unsupported interface: the object is made and destroyed again.
  void* out = nullptr;
  EXPECT_EQ(factory.CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(module.ObjectCount(), 0);

  IScale* scale = nullptr;
  ASSERT_EQ(factory.CreateInstance(nullptr, IID_IScale, reinterpret_cast<void**>(&scale)), S_OK);
  EXPECT_EQ(module.ObjectCount(), 1);
  EXPECT_EQ(scale->AddRef(), 2u);
  EXPECT_EQ(scale->Release(), 1u);
  EXPECT_EQ(scale->Release(), 0u);
  EXPECT_EQ(module.ObjectCount(), 0);

  // Locks count as objects; an unmatched unlock goes below zero.
  factory.LockServer(TRUE);
  EXPECT_EQ(module.ObjectCount(), 1);
  factory.LockServer(FALSE);
  EXPECT_EQ(module.ObjectCount(), 0);
  factory.LockServer(FALSE);
  EXPECT_EQ(module.ObjectCount(), -1);
  EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
  factory.LockServer(TRUE);
  CoLockObjectExternal(&factory, FALSE, TRUE);
  EXPECT_EQ(module.ObjectCount(), 0);
  // A lock or unlock that the runtime refuses (on a thread without COM)
  // changes no count.
  for (const BOOL lock : {TRUE, FALSE}) {
    HRESULT status = S_OK;
    std::thread([&] { status = factory.LockServer(lock); }).join();
    EXPECT_TRUE(FAILED(status)) << lock;
    EXPECT_EQ(module.ObjectCount(), 0) << lock;
  }
  EXPECT_EQ(module.ClassRefCount(), 0);
  EXPECT_EQ(module.CanUnloadNow(), S_OK);
}

TEST(ClassListTest, LookupAndUnload) {
  auto* module = new ServerModule(Self(), ServerPath());
  module->StartUp();
  module->StartUp();  // a second start-up adds nothing
  ClassList& list = ClassList::Instance();
  IClassFactory* factory = nullptr;
  ASSERT_EQ(list.GetClassObject(CLSID_Scale, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
  EXPECT_EQ(module->ClassRefCount(), 1);
  factory->Release();
  int entries = 0;
  list.ForEachOf(*module, [&](ClassObject& object) {
    ++entries;
    EXPECT_TRUE(IsEqualGUID(object.Clsid(), CLSID_Scale));
  });
  EXPECT_EQ(entries, 1);
  // Unloading the module destroys its class objects.
  delete module;
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(list.GetClassObject(CLSID_Scale, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
}

TEST(ConstructionFault, MessageEndsWithAFullStop) {
  struct Case {
    const char* text;
    const char* shown;
  } cases[] = {
      {"Out of memory", "Out of memory."},
      {"Done.", "Done."},
      {"Stop!", "Stop!"},   // '!' comes before '.'
      {"(x)", "(x)"},       // so does ')'
      {"path/", "path/."},  // '/' comes after '.'
      {"", ""},
      {"\xC4\xE0", "\xC4\xE0."},  // 8-bit characters come after '.'
  };
  for (const Case& c : cases) EXPECT_EQ(ConstructionFaultText(c.text), c.shown) << c.text;
}

TEST(RegistryTexts, GuidsAndHelpDirectories) {
  EXPECT_EQ(GuidText(CLSID_Scale), "{A05E2075-3492-414F-9460-0415E7BFCF54}");
  EXPECT_EQ(GuidText(IID_IScale), "{D18475CC-F1A1-4709-BE43-014B8C344447}");
  struct Case {
    const wchar_t* path;
    const wchar_t* dir;
  } cases[] = {
      {L"C:\\Program Files\\Rd\\RaroreDoziri.dll", L"C:\\Program Files\\Rd\\"},
      {L"C:RaroreDoziri.dll", L"C:"},
      {L"RaroreDoziri.dll", L""},
      {L"\\\\host\\share\\x.dll", L"\\\\host\\share\\"},
  };
  for (const Case& c : cases) EXPECT_EQ(HelpDirectoryOf(c.path), c.dir);
}

// A copy of the server module in a folder whose name is long, holds spaces,
// lies outside the ANSI code page or makes the path longer than MAX_PATH;
// removed afterwards.
class ModuleFolders : public ::testing::TestWithParam<const wchar_t*> {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    // The temporary folder itself in its long form.
    wchar_t long_temp[MAX_PATH];
    ASSERT_GT(GetLongPathNameW(temp, long_temp, MAX_PATH), 0u);
    // The base folder, then each level of the parameter.
    std::wstring folder = std::wstring(long_temp) + L"RaroreDoziri " +
                          std::to_wstring(GetCurrentProcessId()) + L"\\" + GetParam();
    for (std::size_t end = folder.find(L'\\', std::wcslen(long_temp));;
         end = folder.find(L'\\', end + 1)) {
      const std::wstring level = folder.substr(0, end);
      ASSERT_TRUE(CreateDirectoryW(ExtendedPath(level).c_str(), nullptr));
      folders_.insert(folders_.begin(), level);
      if (end == std::wstring::npos) break;
    }
    file_ = folder + L"\\Server Module File.dll";
    ASSERT_TRUE(CopyFileW(test::ServerPath().c_str(), ExtendedPath(file_).c_str(), TRUE));
  }
  void TearDown() override {
    DeleteFileW(ExtendedPath(file_).c_str());
    for (const std::wstring& folder : folders_) RemoveDirectoryW(ExtendedPath(folder).c_str());
  }
  std::vector<std::wstring> folders_;
  std::wstring file_;
};

TEST_P(ModuleFolders, ModuleFindsItsOwnLongPath) {
  const HMODULE module = LoadLibraryW(file_.c_str());
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(ModuleLongPath(module), file_);
  FreeLibrary(module);
}

TEST_P(ModuleFolders, RegisteredPathIsShortAndLeadsBack) {
  const std::wstring registered = InprocServerPath(file_);
  EXPECT_EQ(registered.find(L' '), std::wstring::npos);
  EXPECT_LT(registered.size(), std::size_t{MAX_PATH});
  EXPECT_EQ(LongPathOf(registered), file_);
}

TEST_P(ModuleFolders, LetterCaseComesFromTheDisk) {
  std::wstring lower = file_;
  CharLowerBuffW(lower.data() + 2, static_cast<DWORD>(lower.size() - 2));
  EXPECT_EQ(LongPathOf(lower), file_);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ModuleFolders,
    ::testing::Values(
        L"Long Folder", L"Весы Ζυγαριά",
        L"Весы Ζυγαριά\\A Folder Name Long Enough To Take The Path Past The Limit "
        L"Of Two Hundred And Sixty Characters That Older Calls Had For Every Path "
        L"They Returned In Full Or Cut Short At The End So The Name Goes On A While Longer"));

TEST(LongPath, PartThatCannotBeFoundIsKept) {
  EXPECT_EQ(LongPathOf(L"C:\\No Such Folder 7f3a\\x.dll"), L"C:\\No Such Folder 7f3a\\x.dll");
  EXPECT_EQ(InprocServerPath(L"C:\\Windows\\system.ini"), L"C:\\Windows\\system.ini");
}

TEST(WriteRegStringTest, RefusedWriteRaisesTheRegistryFault) {
  std::string text;
  {
    test::ClassesRootGone gone;
    ASSERT_TRUE(gone.Active());
    try {
      WriteRegString(L"RaroreDoziri.Test", L"", L"x");
    } catch (const Fault& fault) {
      text = fault.Text();
    }
  }
  EXPECT_EQ(text, "Error creating system registry entry");
}

}  // namespace
}  // namespace rd::server
