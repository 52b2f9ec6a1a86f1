#include "elevated_copy.h"

#include <bcrypt.h>
#include <sddl.h>

#include <vector>

namespace zan {
namespace {

const wchar_t kCopyPrefix[] = L"ZanSetup-elevated-";
const wchar_t kLockName[] = L"running.lock";
// Owned by Administrators; full control for SYSTEM and Administrators, for
// this folder and everything made in it; nothing inherited, nobody else.
const wchar_t kProtected[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr int kMaxDepth = 32;

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

bool IsDotEntry(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

bool RemoveTreeAt(const std::wstring& folder, int depth) {
  if (depth > kMaxDepth) return false;
  WIN32_FIND_DATAW data;
  bool removed = true;
  if (ScopedFind find{::FindFirstFileW((folder + L"\\*").c_str(), &data)}) {
    do {
      if (IsDotEntry(data.cFileName)) continue;
      const std::wstring path = folder + L"\\" + data.cFileName;
      const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      if (directory && !link) {
        removed = RemoveTreeAt(path, depth + 1) && removed;
      } else if (directory) {
        removed = ::RemoveDirectoryW(path.c_str()) && removed;
      } else {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        removed = ::DeleteFileW(path.c_str()) && removed;
      }
    } while (::FindNextFileW(find.get(), &data));
  }
  return ::RemoveDirectoryW(folder.c_str()) && removed;
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

bool RemoveTree(const std::wstring& folder) { return RemoveTreeAt(folder, 0); }

void RemoveLeftoverCopies() {
  const std::wstring parent = ElevatedCopiesParent();
  if (parent.empty()) return;
  WIN32_FIND_DATAW data;
  ScopedFind find(::FindFirstFileW((parent + kCopyPrefix + L"*").c_str(), &data));
  if (!find) return;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    const std::wstring folder = parent + data.cFileName;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      ::RemoveDirectoryW(folder.c_str());
      continue;
    }
    // A launcher that still runs holds its lock: its copy stays.
    const std::wstring lock = folder + L"\\" + kLockName;
    if (!::DeleteFileW(lock.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) continue;
    RemoveTree(folder);
  } while (::FindNextFileW(find.get(), &data));
}

ElevatedCopy::~ElevatedCopy() {
  lock_.reset();  // deleted as it closes; the folder can go after it
  if (!root_.empty()) RemoveTree(root_.substr(0, root_.size() - 1));
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
