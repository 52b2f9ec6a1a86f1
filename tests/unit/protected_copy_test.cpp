#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "setup/common/elevated_copy.h"
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

}  // namespace
}  // namespace zan
