#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "setup/common/elevated_copy.h"
#include "setup/common/files.h"
#include "setup/common/held_files.h"
#include "test_util.h"

namespace zan {
namespace {

using zan_test::TempFolder;
using zan_test::WriteFileBytes;

const wchar_t kName[] = L"0123456789abcdef0123456789abcdef";

// Only the program of a folder made with the protected rules is the copy;
// one of the same name and shape made any other way (as a user could) is not.
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
  const std::wstring plain = ElevatedCopiesParent() + L"ZanSetup-elevated-" + kName;
  ASSERT_TRUE(::CreateDirectoryW(plain.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW((plain + L"\\ZanSetup").c_str(), nullptr));
  EXPECT_FALSE(IsProtectedCopyProgram(plain + L"\\ZanSetup\\ZanSetup.exe"));
  EXPECT_TRUE(RemoveTree(plain));
}

TEST(ProtectedCopy, APathOfAnotherShapeIsNeverTheCopy) {
  const std::wstring parent = ElevatedCopiesParent();
  const std::wstring tail = L"\\ZanSetup\\ZanSetup.exe";
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
