// What keeps users out of the folders an elevated run uses: the rules
// judged, the protected log's folder, the install folder, the protected copy.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "setup/common/access_rules.h"
#include "setup/common/elevated_copy.h"
#include "setup/common/files.h"
#include "setup/common/held_files.h"
#include "setup/common/protected_log.h"
#include "test_util.h"

namespace zan {
namespace {

using zan_test::TempFolder;
using zan_test::WriteFileBytes;

// Windows' own folders as it ships them, and what a user could make: each
// judged for walking through (the program data folder), for writing in (a
// log folder's steps) and for installing into.
TEST(AccessRules, OnlyFoldersThatKeepUsersOutPassForEachUse) {
  const wchar_t kInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const std::wstring installer = kInstaller;
  const struct {
    const char* what;
    std::wstring sddl;
    bool passage, writtenIn, installedInto;
  } rows[] = {
      {"our log folders", L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200a9;;;BU)", true, true, true},
      {"our log folders before", L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", true, true, true},
      // Users may add entries to the program data folder, not remove them.
      {"ProgramData", L"O:SYD:P(A;OICIIO;FA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
                      L"(A;CI;0x116;;;BU)", true, false, false},
      {"Program Files", L"O:" + installer + L"D:PAI(A;;FA;;;" + installer + L")(A;CIIO;GA;;;" + installer +
                            L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
                            L"(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)",
       true, true, true},
      // Users may make folders in a drive's root, and modify what they make.
      {"a drive's root", L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;;LC;;;AU)"
                         L"(A;OICIIO;SDGXGWGR;;;AU)", true, false, false},
      {"made by a user", L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, false, false},
      {"users may delete children", L"O:BAD:P(A;;FA;;;BA)(A;;0x40;;;BU)", false, false, false},
      {"users may re-rule it", L"O:BAD:P(A;;FA;;;BA)(A;;WD;;;BU)", false, false, false},
      {"users may add folders", L"O:BAD:P(A;;FA;;;BA)(A;;0x4;;;BU)", true, false, false},
      {"users may change what is made", L"O:BAD:P(A;;FA;;;BA)(A;OICIIO;GA;;;BU)", true, true, false},
      {"everybody may do all", L"O:BAD:(A;OICI;FA;;;WD)", false, false, false},
      {"denied, then allowed to administrators", L"O:BAD:P(D;;FA;;;BU)(A;;FA;;;BA)", true, true, true},
      {"an empty rule list", L"O:BAD:P", true, true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    LocalSecurityDescriptor descriptor(row.sddl.c_str());
    ASSERT_NE(nullptr, descriptor.get());
    EXPECT_EQ(row.passage, KeepsUsersOut(descriptor.get(), FolderUse::kPassage, nullptr));
    EXPECT_EQ(row.writtenIn, KeepsUsersOut(descriptor.get(), FolderUse::kWrittenIn, nullptr));
    EXPECT_EQ(row.installedInto, KeepsUsersOut(descriptor.get(), FolderUse::kInstalledInto, nullptr));
  }
  // Made by hand, as Wine reads neither from text: no rule list at all
  // (everybody may do all), and a rule of a kind not judged here.
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof(administrators);
  ASSERT_TRUE(::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sidSize));
  alignas(DWORD) BYTE ruleBuffer[256];
  auto* objectRules = reinterpret_cast<PACL>(ruleBuffer);
  ASSERT_TRUE(::InitializeAcl(objectRules, sizeof(ruleBuffer), ACL_REVISION_DS));
  ASSERT_TRUE(::AddAccessAllowedAce(objectRules, ACL_REVISION_DS, FILE_GENERIC_READ, administrators));
  void* rule = nullptr;
  ASSERT_TRUE(::GetAce(objectRules, 0, &rule));
  // Its kind alone is judged, before anything of its layout is read.
  static_cast<ACE_HEADER*>(rule)->AceType = ACCESS_ALLOWED_OBJECT_ACE_TYPE;
  for (PACL rules : {static_cast<PACL>(nullptr), objectRules}) {
    SECURITY_DESCRIPTOR made;
    ASSERT_TRUE(::InitializeSecurityDescriptor(&made, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorOwner(&made, administrators, FALSE));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&made, TRUE, rules, FALSE));
    for (FolderUse use : {FolderUse::kPassage, FolderUse::kWrittenIn, FolderUse::kInstalledInto}) {
      EXPECT_FALSE(KeepsUsersOut(&made, use, nullptr)) << (rules ? "an object rule" : "no rule list");
    }
  }
  // Under Wine every folder belongs to the user, who is trusted as this
  // system's owner of a folder made for Administrators.
  PSID user = nullptr;
  ASSERT_TRUE(::ConvertStringSidToSidW(L"S-1-5-21-0-0-0-1000", &user));
  LocalSecurityDescriptor wine(L"O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)"
                               L"(A;OICI;0x1200a9;;;WD)");
  EXPECT_TRUE(KeepsUsersOut(wine.get(), FolderUse::kWrittenIn, user));
  EXPECT_FALSE(KeepsUsersOut(wine.get(), FolderUse::kWrittenIn, nullptr));
  ::LocalFree(user);
}

// Wine keeps a folder's rules as its mode: a rule that lets everybody
// write makes it world-writable, and it reads back as everybody's full
// control; one that does not restores the mode.
class RulesSwap {
 public:
  RulesSwap(const std::wstring& folder, const wchar_t* sddl) : folder_(folder) {
    ::GetNamedSecurityInfoW(folder_.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &before_, nullptr, &saved_);
    LocalSecurityDescriptor descriptor(sddl);
    BOOL present = FALSE, defaulted = FALSE;
    PACL rules = nullptr;
    if (descriptor.get() && ::GetSecurityDescriptorDacl(descriptor.get(), &present, &rules, &defaulted)) {
      Apply(rules);
    }
  }
  ~RulesSwap() {
    if (before_) Apply(before_);
    if (saved_) ::LocalFree(saved_);
  }
  RulesSwap(const RulesSwap&) = delete;
  RulesSwap& operator=(const RulesSwap&) = delete;

 private:
  void Apply(PACL rules) {
    ::SetNamedSecurityInfoW(const_cast<wchar_t*>(folder_.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, rules, nullptr);
  }

  std::wstring folder_;
  PACL before_ = nullptr;
  PSECURITY_DESCRIPTOR saved_ = nullptr;
};

std::wstring RulesAt(const std::wstring& path) {
  ScopedFile held = OpenNoFollow(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
  return held ? RulesOf(held.get()) : L"(gone)";
}

// Each step from the root (the program data folder) down to the log folder
// is judged; at one that lets users change it, the walk ends and leaves it
// as it was: no folder to log into, nothing made below it. Put right, the
// walk goes through again.
TEST(ProtectedLogFolder, EveryStepMustKeepUsersOut) {
  TempFolder root;
  const std::wstring base = root.path().substr(0, root.path().size() - 1);
  ASSERT_TRUE(OpenLogFolderBelow(base)) << "the steps are made";
  const std::wstring steps[] = {base, base + L"\\Corvela", base + L"\\Corvela\\ZanSetup",
                                base + L"\\Corvela\\ZanSetup\\Logs"};
  for (size_t failing = 0; failing < 4; ++failing) {
    SCOPED_TRACE(std::string(steps[failing].begin(), steps[failing].end()));
    const std::wstring logs = steps[3];
    {
      RulesSwap open(steps[failing], L"D:(A;OICI;FA;;;WD)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)");
      const std::wstring swapped = RulesAt(steps[failing]);
      if (failing < 3) {
        ASSERT_TRUE(RemoveTree(logs)) << "the step below it goes, to see that it is not made again";
      }
      EXPECT_FALSE(OpenLogFolderBelow(base));
      EXPECT_EQ(swapped, RulesAt(steps[failing])) << "the failing step was changed";
      EXPECT_EQ(failing == 3, FileExists(logs)) << "a step below the failing one was made";
    }
    EXPECT_TRUE(OpenLogFolderBelow(base)) << "put right, the walk goes through again";
  }
  EXPECT_TRUE(RemoveTree(base + L"\\Corvela"));
}

// What the installer of an elevated run may be given: a folder that keeps
// users out, or a missing one below such a folder; never one of theirs.
TEST(AccessRules, AnInstallFolderIsJudgedWhereItIsOrWouldBeMade) {
  TempFolder root;
  const std::wstring kept = root.File(L"kept");
  const std::wstring open = root.File(L"open");
  ASSERT_TRUE(::CreateDirectoryW(kept.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW(open.c_str(), nullptr));
  RulesSwap everybody(open, L"D:(A;OICI;FA;;;WD)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)");
  EXPECT_TRUE(InstallFolderKeepsUsersOut(kept));
  EXPECT_TRUE(InstallFolderKeepsUsersOut(kept + L"\\Product\\"));
  EXPECT_FALSE(InstallFolderKeepsUsersOut(open));
  EXPECT_FALSE(InstallFolderKeepsUsersOut(open + L"\\Product\\Bin"));
  EXPECT_FALSE(InstallFolderKeepsUsersOut(L""));
}

const wchar_t kName[] = L"0123456789abcdef0123456789abcdef";

// Only the program of a folder made with the protected rules is the copy;
// one of the same name and shape made any other way (as a user could) is
// not, nor is a path of another shape.
TEST(ProtectedCopy, OnlyTheProgramOfAFolderMadeWithTheProtectedRulesIsTheCopy) {
  TempFolder source;
  ASSERT_TRUE(WriteFileBytes(source.File(L"ZanSetup.exe"), "MZ"));
  {
    ElevatedCopy copy;
    ASSERT_TRUE(copy.Make(source.path()));
    const std::wstring program = copy.programFolder() + L"ZanSetup.exe";
    EXPECT_TRUE(IsProtectedCopyProgram(program));
    EXPECT_FALSE(IsProtectedCopyProgram(copy.programFolder() + L"Other.exe"));
  }
  const std::wstring parent = ElevatedCopiesParent();
  const std::wstring plain = parent + L"ZanSetup-elevated-" + kName, tail = L"\\ZanSetup\\ZanSetup.exe";
  ASSERT_TRUE(::CreateDirectoryW(plain.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW((plain + L"\\ZanSetup").c_str(), nullptr));
  EXPECT_FALSE(IsProtectedCopyProgram(plain + tail));
  EXPECT_TRUE(RemoveTree(plain));
  for (const std::wstring& program :
       {parent + L"ZanSetup-elevated-" + std::wstring(kName).substr(1) + tail,
        parent + L"ZanSetup-elevated-0123456789ABCDEF0123456789ABCDEF" + tail,
        parent + L"ZanSetup-elevated-..\\..\\0123456789abcdef0123456789" + tail,
        parent + L"Other-elevated-" + kName + tail, std::wstring(L"C:\\Users\\ZanSetup-elevated-") + kName + tail,
        parent + L"ZanSetup-elevated-" + kName + L"\\ZanSetup\\ZanSetup.exe.exe", std::wstring()}) {
    EXPECT_FALSE(IsProtectedCopyProgram(program)) << std::string(program.begin(), program.end());
  }
}

// A read-only file is made writable to be deleted; that attribute belongs
// to the file, so one with another name elsewhere stays as it is, and so
// does the folder that holds it. One with no other name goes.
TEST(ProtectedCopy, ARemovalLeavesAReadOnlyFileWithAnotherNameAsItIs) {
  TempFolder elsewhere;
  TempFolder copy;
  const std::wstring victim = elsewhere.File(L"victim.txt");
  const std::wstring linked = copy.File(L"linked.txt");
  const std::wstring alone = copy.File(L"alone.txt");
  for (const std::wstring& file : {victim, alone}) {
    ASSERT_TRUE(WriteFileBytes(file, "kept"));
    ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  }
  ASSERT_TRUE(::CreateHardLinkW(linked.c_str(), victim.c_str(), nullptr));
  zan_test::LogLinesAdded log;
  const std::wstring folder = copy.path().substr(0, copy.path().size() - 1);
  EXPECT_FALSE(RemoveTree(folder));
  EXPECT_EQ(FILE_ATTRIBUTE_READONLY, ::GetFileAttributesW(victim.c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(FileExists(linked));
  EXPECT_FALSE(FileExists(alone));
  const std::string shown(linked.begin(), linked.end());
  EXPECT_EQ(std::vector<std::string>{"ZanSetupSH: left alone: " + shown + " is read-only and has another name"},
            log.Messages());
  // Its other name gone, it goes too.
  ::SetFileAttributesW(victim.c_str(), FILE_ATTRIBUTE_NORMAL);
  ASSERT_TRUE(::DeleteFileW(victim.c_str()));
  EXPECT_TRUE(RemoveTree(folder));
  EXPECT_FALSE(FileExists(linked));
}

}  // namespace
}  // namespace zan
