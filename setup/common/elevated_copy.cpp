#include "elevated_copy.h"

#include <vector>

#include "held_files.h"
#include "log.h"
#include "string_util.h"

namespace zan {
namespace {

const wchar_t kCopyPrefix[] = L"ZanSetup-elevated-";
const wchar_t kLockName[] = L"running.lock";
// Owned by Administrators; full control for SYSTEM and Administrators, for
// this folder and everything made in it; nothing inherited, nobody else.
const wchar_t kProtected[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr int kMaxDepth = 32;
constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034);  // STATUS_OBJECT_NAME_NOT_FOUND

// A new folder with the protected DACL; false when it existed already.
bool MakeProtectedFolder(const std::wstring& folder) {
  LocalSecurityDescriptor descriptor(kProtected);
  if (!descriptor.get()) return false;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
  return ::CreateDirectoryW(folder.c_str(), &attributes) != FALSE;
}

bool CopyLanguageFiles(const std::wstring& from, const std::wstring& to) {
  WIN32_FIND_DATAW data;
  ScopedFind find(::FindFirstFileW((from + L"*.locale").c_str(), &data));
  if (!find) return true;  // a program without language files of its own
  bool copied = ::CreateDirectoryW(to.c_str(), nullptr) != FALSE;
  do {
    if (copied && !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      copied = ::CopyFileW((from + data.cFileName).c_str(), (to + data.cFileName).c_str(), TRUE) != FALSE;
    }
  } while (copied && ::FindNextFileW(find.get(), &data));
  return copied;
}

// Empties and deletes the held folder through handles alone. A link or
// junction met on the way is left alone, and with it the folders above it.
bool RemoveHeldTree(HANDLE folder, const std::wstring& shown, int depth) {
  if (depth > kMaxDepth) return false;
  bool removed = true;
  for (const auto& entry : ListHeld(folder)) {
    const std::wstring path = shown + L"\\" + entry.first;
    ScopedFile child;
    if (!(entry.second & FILE_ATTRIBUTE_REPARSE_POINT)) child = OpenInside(folder, entry.first, RemovalAccess());
    if (!child || IsLink(child.get())) {
      WriteLog(L"ZanSetupSH: left alone: %s is a link or cannot be opened", path.c_str());
      removed = false;
      continue;
    }
    if (entry.second & FILE_ATTRIBUTE_DIRECTORY) {
      removed = RemoveHeldTree(child.get(), path, depth + 1) && removed;
    } else {
      removed = DeleteHeld(child.get()) && removed;
    }
  }
  return removed && DeleteHeld(folder);
}

}  // namespace

std::wstring ElevatedCopiesParent() { return SystemTempFolder(); }

bool IsProtectedCopyProgram(const std::wstring& program) {
  const std::wstring parent = ElevatedCopiesParent();
  const std::wstring prefix = parent + kCopyPrefix;
  const std::wstring tail = L"\\ZanSetup\\ZanSetup.exe";
  const size_t nameLength = 32;
  if (parent.empty() || program.size() != prefix.size() + nameLength + tail.size() ||
      !EqualsIgnoreCase(program.substr(0, prefix.size()), prefix) ||
      !EqualsIgnoreCase(program.substr(prefix.size() + nameLength), tail)) {
    return false;
  }
  const std::wstring name = program.substr(prefix.size(), nameLength);
  if (name.find_first_not_of(L"0123456789abcdef") != std::wstring::npos) return false;
  ScopedFile root = OpenNoFollow(prefix + name, READ_CONTROL | FILE_READ_ATTRIBUTES);
  if (!root || IsLink(root.get())) return false;
  const std::wstring rules = RulesOf(root.get());
  return !rules.empty() && rules == ReferenceRules(kProtected);
}

bool RemoveTree(const std::wstring& folder) {
  ScopedFile held = OpenNoFollow(folder, RemovalAccess().access);
  return held && !IsLink(held.get()) && RemoveHeldTree(held.get(), folder, 0);
}

// Only folders that carry exactly the owner and rules of the one this
// launcher has just made (Administrators', nobody else may change them) are
// removed: anything else of that name could be a user's, made to have an
// administrator delete or follow what it leads to.
void RemoveLeftoverCopies(const ElevatedCopy& own) {
  const std::wstring parent = ElevatedCopiesParent();
  const std::wstring ours = own.rules();
  if (parent.empty() || ours.empty()) return;
  WIN32_FIND_DATAW data;
  ScopedFind find(::FindFirstFileW((parent + kCopyPrefix + L"*").c_str(), &data));
  if (!find) return;
  do {
    const std::wstring folder = parent + data.cFileName;
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || folder + L"\\" == own.root()) continue;
    ScopedFile held;
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) held = OpenNoFollow(folder, RemovalAccess().access);
    if (!held || IsLink(held.get()) || RulesOf(held.get()) != ours) {
      WriteLog(L"ZanSetupSH: left alone: %s is no copy of ours (a link, or another owner or access rules)",
               folder.c_str());
      continue;
    }
    // A launcher that still runs holds its lock, sharing nothing: its copy stays.
    NTSTATUS lock = 0;
    if (!OpenInside(held.get(), kLockName, RemovalAccess(), &lock) && lock != kNameNotFound) continue;
    RemoveHeldTree(held.get(), folder, 0);
  } while (::FindNextFileW(find.get(), &data));
}

ElevatedCopy::~ElevatedCopy() {
  lock_.reset();  // deleted as it closes; the folder can go after it
  if (!root_.empty()) RemoveTree(root_.substr(0, root_.size() - 1));
}

std::wstring ElevatedCopy::rules() const {
  if (root_.empty()) return std::wstring();
  ScopedFile held = OpenNoFollow(root_.substr(0, root_.size() - 1), RemovalAccess().access);
  return held ? RulesOf(held.get()) : std::wstring();
}

bool ElevatedCopy::Make(const std::wstring& sourceFolder) {
  const std::wstring parent = ElevatedCopiesParent();
  const std::wstring name = RandomName();
  if (parent.empty() || name.empty()) return false;
  const std::wstring root = parent + kCopyPrefix + name + L"\\";
  if (!MakeProtectedFolder(root)) return false;
  root_ = root;
  lock_.reset(::CreateFileW((root_ + kLockName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (!lock_) return false;
  programFolder_ = root_ + L"ZanSetup\\";
  return ::CreateDirectoryW(programFolder_.c_str(), nullptr) &&
         ::CopyFileW((sourceFolder + L"ZanSetup.exe").c_str(), (programFolder_ + L"ZanSetup.exe").c_str(), TRUE) &&
         CopyLanguageFiles(sourceFolder + L"language\\", programFolder_ + L"language\\");
}

}  // namespace zan
