// The server's parts on their own: binding the class object to a type
// library (and refusing libraries that do not fit), the module's counters,
// the class list, paths and registry texts.
#include <gtest/gtest.h>

#include <string>

#include "ClassFactory.h"
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
    const char* path;
    const char* dir;
  } cases[] = {
      {"C:\\Program Files\\Rd\\RaroreDoziri.dll", "C:\\Program Files\\Rd\\"},
      {"C:RaroreDoziri.dll", "C:"},
      {"RaroreDoziri.dll", ""},
      {"\\\\host\\share\\x.dll", "\\\\host\\share\\"},
  };
  for (const Case& c : cases) EXPECT_EQ(HelpDirectoryOf(c.path), c.dir) << c.path;
}

// A folder and file with long names holding spaces, removed afterwards.
class LongNames : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    // The temporary folder itself in its long form.
    char long_temp[MAX_PATH];
    ASSERT_GT(GetLongPathNameA(temp, long_temp, MAX_PATH), 0u);
    folder_ = std::string(long_temp) + "RaroreDoziri Long Folder " +
              std::to_string(GetCurrentProcessId());
    file_ = folder_ + "\\Server Module File.dll";
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr));
    HANDLE handle = CreateFileA(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
  }
  void TearDown() override {
    DeleteFileA(file_.c_str());
    RemoveDirectoryA(folder_.c_str());
  }
  std::string folder_, file_;
};

TEST_F(LongNames, ShortPathIsRebuiltToTheLongOne) {
  char short_path[MAX_PATH];
  const DWORD length = GetShortPathNameA(file_.c_str(), short_path, MAX_PATH);
  ASSERT_GT(length, 0u);
  const std::string shortened(short_path, length);
  EXPECT_EQ(shortened.find(' '), std::string::npos) << shortened;
  EXPECT_EQ(LongPathOf(shortened), file_);
  EXPECT_EQ(InprocServerPath(file_), shortened);
}

TEST_F(LongNames, LetterCaseComesFromTheDisk) {
  std::string lower = file_;
  for (std::size_t i = 2; i < lower.size(); ++i) {
    if (lower[i] >= 'A' && lower[i] <= 'Z') lower[i] = static_cast<char>(lower[i] + 32);
  }
  EXPECT_EQ(LongPathOf(lower), file_);
}

TEST(LongPath, PartThatCannotBeFoundIsKept) {
  EXPECT_EQ(LongPathOf("C:\\No Such Folder 7f3a\\x.dll"), "C:\\No Such Folder 7f3a\\x.dll");
  EXPECT_EQ(InprocServerPath("C:\\Windows\\system.ini"), "C:\\Windows\\system.ini");
}

TEST(WriteRegStringTest, RefusedWriteRaisesTheRegistryFault) {
  std::string text;
  {
    test::ClassesRootGone gone;
    ASSERT_TRUE(gone.Active());
    try {
      WriteRegString("RaroreDoziri.Test", "", "x");
    } catch (const Fault& fault) {
      text = fault.Text();
    }
  }
  EXPECT_EQ(text, "Error creating system registry entry");
}

}  // namespace
}  // namespace rd::server
