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
    } else if (IsLinkedReadOnlyFile(child.get())) {
      WriteLog(L"ZanSetupSH: left alone: %s is read-only and has another name", path.c_str());
      removed = false;
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

// The folder is held, sharing no deletion, from its creation until its
// lock exists: a launcher that starts meanwhile finds it neither locked nor
// removable, and leaves it alone.
bool ElevatedCopy::Make(const std::wstring& sourceFolder) {
  const std::wstring parent = ElevatedCopiesParent();
  const std::wstring name = RandomName();
  LocalSecurityDescriptor descriptor(kProtected);
  if (parent.empty() || name.empty() || !descriptor.get()) return false;
  ScopedFile parentFolder = OpenNoFollow(parent.substr(0, parent.size() - 1), FILE_TRAVERSE | FILE_ADD_SUBDIRECTORY);
  const HeldOpen folder = {FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, FILE_DIRECTORY_FILE, descriptor.get()};
  ScopedFile held = parentFolder ? OpenInside(parentFolder.get(), kCopyPrefix + name, folder) : ScopedFile();
  if (!held) return false;
  root_ = parent + kCopyPrefix + name + L"\\";
  const HeldOpen lock = {GENERIC_READ | GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                         FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, nullptr};
  lock_ = OpenInside(held.get(), kLockName, lock);
  if (!lock_) return false;
  held.reset();
  // The program alone: its language files lie in the user's folder, which
  // decides nothing in an elevated run (its windows show the program's own
  // texts until the product's arrive).
  programFolder_ = root_ + L"ZanSetup\\";
  return ::CreateDirectoryW(programFolder_.c_str(), nullptr) &&
         ::CopyFileW((sourceFolder + L"ZanSetup.exe").c_str(), (programFolder_ + L"ZanSetup.exe").c_str(), TRUE);
}

}  // namespace zan
