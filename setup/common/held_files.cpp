#include "held_files.h"

#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>

#include <cstring>

#include "string_util.h"

namespace zan {
namespace {

using NtCreateFileProc = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                          PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtSetInformationFileProc = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
using StatusToErrorProc = ULONG(NTAPI*)(NTSTATUS);
constexpr FILE_INFORMATION_CLASS kFileRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);

FARPROC NtProc(const char* name) { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name); }

bool IsDotEntry(const std::wstring& name) { return name == L"." || name == L".."; }

}  // namespace

LocalSecurityDescriptor::LocalSecurityDescriptor(const wchar_t* sddl) {
  if (sddl) ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor_, nullptr);
}

LocalSecurityDescriptor::LocalSecurityDescriptor(HANDLE entry) {
  if (::GetSecurityInfo(entry, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, &descriptor_) != ERROR_SUCCESS) {
    descriptor_ = nullptr;
  }
}

LocalSecurityDescriptor::~LocalSecurityDescriptor() {
  if (descriptor_) ::LocalFree(descriptor_);
}

HeldOpen RemovalAccess() {
  return {DELETE | READ_CONTROL | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, nullptr};
}

ScopedFile OpenNoFollow(const std::wstring& path, DWORD access) {
  return ScopedFile(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// No path is looked up again, so nothing swapped in meanwhile is reached.
ScopedFile OpenInside(HANDLE folder, const std::wstring& name, const HeldOpen& how, NTSTATUS* result) {
  static const auto create = reinterpret_cast<NtCreateFileProc>(reinterpret_cast<void*>(NtProc("NtCreateFile")));
  if (!create || name.empty() || name.size() > 32767) return ScopedFile();
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name.c_str());
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, how.descriptor);
  IO_STATUS_BLOCK status;
  HANDLE opened = INVALID_HANDLE_VALUE;
  NTSTATUS created = create(&opened, how.access | SYNCHRONIZE, &attributes, &status, nullptr,
                            FILE_ATTRIBUTE_NORMAL, how.share, how.disposition,
                            how.options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (result) *result = created;
  if (created >= 0) return ScopedFile(opened);
  // Callers log the last error, as after a Win32 call.
  static const auto error =
      reinterpret_cast<StatusToErrorProc>(reinterpret_cast<void*>(NtProc("RtlNtStatusToDosError")));
  if (error) ::SetLastError(error(created));
  return ScopedFile();
}

bool IsLink(HANDLE entry) {
  FILE_BASIC_INFO basic = {};
  return !::GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof(basic)) ||
         (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

ScopedFile OpenInsideNoLink(HANDLE folder, const std::wstring& name, const HeldOpen& how) {
  for (const auto& entry : ListHeld(folder)) {
    if (EqualsIgnoreCase(entry.first, name) && (entry.second & FILE_ATTRIBUTE_REPARSE_POINT)) return ScopedFile();
  }
  ScopedFile opened = OpenInside(folder, name, how);
  if (opened && IsLink(opened.get())) opened.reset();
  return opened;
}

bool IsLinkedReadOnlyFile(HANDLE entry) {
  FILE_BASIC_INFO basic = {};
  FILE_STANDARD_INFO standard = {};
  if (!::GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof(basic))) return false;
  if (!(basic.FileAttributes & FILE_ATTRIBUTE_READONLY) || (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  return !::GetFileInformationByHandleEx(entry, FileStandardInfo, &standard, sizeof(standard)) ||
         standard.NumberOfLinks != 1;
}

bool DeleteHeld(HANDLE entry) {
  if (IsLinkedReadOnlyFile(entry)) return false;
  FILE_BASIC_INFO basic = {};
  if (::GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof(basic)) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
    basic.FileAttributes = (basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof(basic));
  }
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return ::SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// The native call: the Win32 one does not take a folder handle on every
// system.
bool RenameHeld(HANDLE entry, HANDLE folder, const std::wstring& name) {
  static const auto set =
      reinterpret_cast<NtSetInformationFileProc>(reinterpret_cast<void*>(NtProc("NtSetInformationFile")));
  if (!set) return false;
  const size_t bytes = name.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + bytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = folder;
  rename->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(rename->FileName, name.data(), bytes);
  IO_STATUS_BLOCK status;
  return set(entry, &status, rename, static_cast<ULONG>(buffer.size()), kFileRenameInformation) >= 0;
}

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

std::wstring SystemTempFolder() {
  wchar_t windows[MAX_PATH] = {};
  UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  std::wstring folder = windows;
  if (folder.back() != L'\\') folder += L'\\';
  return folder + L"Temp\\";
}

// Made in the system's temporary folder, under a name nobody can make
// before us.
std::wstring ReferenceRules(const wchar_t* sddl) {
  const std::wstring parent = SystemTempFolder();
  const std::wstring name = RandomName();
  LocalSecurityDescriptor descriptor(sddl);
  if (parent.empty() || name.empty() || !descriptor.get()) return std::wstring();
  ScopedFile temp = OpenNoFollow(parent.substr(0, parent.size() - 1),
                                 FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_SUBDIRECTORY);
  if (!temp) return std::wstring();
  HeldOpen how = RemovalAccess();
  how.disposition = FILE_CREATE;
  how.options = FILE_DIRECTORY_FILE;
  how.descriptor = descriptor.get();
  ScopedFile reference = OpenInside(temp.get(), L"ZanSetup-reference-" + name, how);
  if (!reference) return std::wstring();
  std::wstring rules = RulesOf(reference.get());
  DeleteHeld(reference.get());
  return rules;
}

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

}  // namespace zan
