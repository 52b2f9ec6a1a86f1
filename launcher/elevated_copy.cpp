#include "elevated_copy.h"

#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>
#include <winternl.h>

#include <vector>

#include "setup/common/log.h"

namespace zan {
namespace {

const wchar_t kCopyPrefix[] = L"ZanSetup-elevated-";
const wchar_t kLockName[] = L"running.lock";
// Owned by Administrators; full control for SYSTEM and Administrators, for
// this folder and everything made in it; nothing inherited, nobody else.
const wchar_t kProtected[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr int kMaxDepth = 32;
constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034);  // STATUS_OBJECT_NAME_NOT_FOUND

class LocalSecurityDescriptor {
 public:
  explicit LocalSecurityDescriptor(const wchar_t* sddl) {
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor_, nullptr);
  }
  ~LocalSecurityDescriptor() {
    if (descriptor_) ::LocalFree(descriptor_);
  }
  LocalSecurityDescriptor(const LocalSecurityDescriptor&) = delete;
  LocalSecurityDescriptor& operator=(const LocalSecurityDescriptor&) = delete;
  PSECURITY_DESCRIPTOR get() const { return descriptor_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

// 32 hexadecimal digits from the system's random numbers: a name nobody
// can make before us.
std::wstring RandomName() {
  unsigned char bytes[16];
  if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, bytes, sizeof(bytes), BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    return std::wstring();
  }
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring name;
  for (unsigned char byte : bytes) {
    name += kDigits[byte >> 4];
    name += kDigits[byte & 15];
  }
  return name;
}

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

bool IsDotEntry(const std::wstring& name) { return name == L"." || name == L".."; }

// Access enough to list a folder, read its rules and delete it.
constexpr DWORD kRemoveAccess = DELETE | READ_CONTROL | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES |
                                FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;

// The entry itself, never what a link or junction points to. No delete
// sharing: while it is held, nobody renames it or swaps it for another.
ScopedFile OpenNoFollow(const std::wstring& path) {
  return ScopedFile(::CreateFileW(path.c_str(), kRemoveAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

using NtCreateFileProc = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                          PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);

// `name` inside the folder held as `folder`, opened through that handle: no
// path is looked up again, so nothing swapped in meanwhile is reached.
ScopedFile OpenInside(HANDLE folder, const std::wstring& name, NTSTATUS* result = nullptr) {
  static const auto create = reinterpret_cast<NtCreateFileProc>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")));
  if (!create || name.size() > 32767) return ScopedFile();
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name.c_str());
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK status;
  HANDLE opened = INVALID_HANDLE_VALUE;
  NTSTATUS created = create(&opened, kRemoveAccess, &attributes, &status, nullptr, 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                            FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (result) *result = created;
  return created < 0 ? ScopedFile() : ScopedFile(opened);
}

bool IsLink(HANDLE entry) {
  FILE_BASIC_INFO basic = {};
  return !::GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof(basic)) ||
         (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Marks the held entry for deletion, when its last handle closes; a
// read-only file loses that attribute first.
bool DeleteHeld(HANDLE entry) {
  FILE_BASIC_INFO basic = {};
  if (::GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof(basic)) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
    basic.FileAttributes = (basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof(basic));
  }
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return ::SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// The names in the held folder with their attributes as the listing gives them.
std::vector<std::pair<std::wstring, DWORD>> ListHeld(HANDLE folder) {
  std::vector<std::pair<std::wstring, DWORD>> entries;
  std::vector<unsigned char> buffer(64 * 1024);
  FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
  while (::GetFileInformationByHandleEx(folder, kind, buffer.data(), static_cast<DWORD>(buffer.size()))) {
    kind = FileIdBothDirectoryInfo;
    for (size_t at = 0;;) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + at);
      std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
      if (!IsDotEntry(name)) entries.emplace_back(name, entry->FileAttributes);
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
  return entries;
}

// Empties and deletes the held folder through handles alone. A link or
// junction met on the way is left alone, and with it the folders above it.
bool RemoveHeldTree(HANDLE folder, const std::wstring& shown, int depth) {
  if (depth > kMaxDepth) return false;
  bool removed = true;
  for (const auto& entry : ListHeld(folder)) {
    const std::wstring path = shown + L"\\" + entry.first;
    ScopedFile child;
    if (!(entry.second & FILE_ATTRIBUTE_REPARSE_POINT)) child = OpenInside(folder, entry.first);
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

// The owner and the access rules of the held entry, as text.
std::wstring RulesOf(HANDLE entry) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  if (::GetSecurityInfo(entry, SE_FILE_OBJECT, what, nullptr, nullptr, nullptr, nullptr, &descriptor) !=
      ERROR_SUCCESS) {
    return std::wstring();
  }
  wchar_t* text = nullptr;
  std::wstring rules;
  if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, what, &text, nullptr)) {
    rules = text;
    ::LocalFree(text);
  }
  ::LocalFree(descriptor);
  return rules;
}

}  // namespace

std::wstring ElevatedCopiesParent() {
  wchar_t windows[MAX_PATH] = {};
  UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  std::wstring parent = windows;
  if (parent[parent.size() - 1] != L'\\') parent += L'\\';
  return parent + L"Temp\\";
}

bool RemoveTree(const std::wstring& folder) {
  ScopedFile held = OpenNoFollow(folder);
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
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) held = OpenNoFollow(folder);
    if (!held || IsLink(held.get()) || RulesOf(held.get()) != ours) {
      WriteLog(L"ZanSetupSH: left alone: %s is no copy of ours (a link, or another owner or access rules)",
               folder.c_str());
      continue;
    }
    // A launcher that still runs holds its lock, sharing nothing: its copy stays.
    NTSTATUS lock = 0;
    if (!OpenInside(held.get(), kLockName, &lock) && lock != kNameNotFound) continue;
    RemoveHeldTree(held.get(), folder, 0);
  } while (::FindNextFileW(find.get(), &data));
}

ElevatedCopy::~ElevatedCopy() {
  lock_.reset();  // deleted as it closes; the folder can go after it
  if (!root_.empty()) RemoveTree(root_.substr(0, root_.size() - 1));
}

std::wstring ElevatedCopy::rules() const {
  if (root_.empty()) return std::wstring();
  ScopedFile held = OpenNoFollow(root_.substr(0, root_.size() - 1));
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
