#include "access_rules.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "handles.h"
#include "held_files.h"

namespace zan {
namespace {

const wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
// A folder made for Administrators alone, to see whom this system names its owner.
const wchar_t kAdministratorsOnly[] = L"O:BAD:P(A;;FA;;;BA)";

// A SID made from its text form, kept for the life of the process.
class TextSid {
 public:
  explicit TextSid(const wchar_t* text) {
    PSID sid = nullptr;
    if (::ConvertStringSidToSidW(text, &sid)) {
      bytes_.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + ::GetLengthSid(sid));
      ::LocalFree(sid);
    }
  }
  PSID get() const { return bytes_.empty() ? nullptr : const_cast<BYTE*>(bytes_.data()); }

 private:
  std::vector<BYTE> bytes_;
};

bool Is(PSID sid, const TextSid& other) { return other.get() && ::EqualSid(sid, other.get()); }

bool IsAdministratorsOrSystem(PSID sid, PSID alsoTrusted) {
  static const TextSid system(L"SY");
  static const TextSid administrators(L"BA");
  return Is(sid, system) || Is(sid, administrators) || (alsoTrusted && ::EqualSid(sid, alsoTrusted));
}

bool IsTrusted(PSID sid, PSID alsoTrusted) {
  static const TextSid installer(kTrustedInstaller);
  return IsAdministratorsOrSystem(sid, alsoTrusted) || Is(sid, installer);
}

// The owner the system gives a folder made to be Administrators': on Windows
// Administrators (or nothing, for a run without the rights to make one),
// under Wine the user. Asked once per process.
PSID ReferenceOwner() {
  static const TextSid owner([] {
    const std::wstring rules = ReferenceRules(kAdministratorsOnly);
    const size_t end = rules.find(L"D:");
    return rules.compare(0, 2, L"O:") == 0 && end != std::wstring::npos ? rules.substr(2, end - 2)
                                                                         : std::wstring(L"-");
  }().c_str());
  return owner.get();
}

// Rights that let someone add, remove, rename or re-rule what a folder holds.
ACCESS_MASK ForbiddenRights(FolderUse use) {
  const ACCESS_MASK change = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD | GENERIC_ALL;
  if (use == FolderUse::kPassage) return change;
  return change | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | GENERIC_WRITE;
}

bool RuleKeepsUsersOut(const ACE_HEADER* header, FolderUse use, PSID alsoTrusted) {
  switch (header->AceType) {
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
      return true;
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      break;
    default:
      return false;
  }
  const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
  const bool inheritedOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
  if ((inheritedOnly && use != FolderUse::kInstalledInto) || !(allowed->Mask & ForbiddenRights(use))) return true;
  PSID sid = const_cast<DWORD*>(&allowed->SidStart);
  if (IsTrusted(sid, alsoTrusted)) return true;
  // What is made in the folder takes a creator-owner rule as its maker's:
  // the installer's, an administrator's.
  static const TextSid creatorOwner(L"CO");
  return inheritedOnly && Is(sid, creatorOwner);
}

// "C:\Apps\Foo" without trailing separators; a drive's root keeps its one.
std::wstring WithoutTrailingSeparator(std::wstring path) {
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

}  // namespace

bool KeepsUsersOut(PSECURITY_DESCRIPTOR descriptor, FolderUse use, PSID alsoTrusted) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!descriptor || !::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !owner ||
      !IsTrusted(owner, alsoTrusted)) {
    return false;
  }
  BOOL present = FALSE;
  PACL rules = nullptr;
  // No rule list at all lets everybody do everything.
  if (!::GetSecurityDescriptorDacl(descriptor, &present, &rules, &defaulted) || !present || !rules) return false;
  ACL_SIZE_INFORMATION size = {};
  if (!::GetAclInformation(rules, &size, sizeof(size), AclSizeInformation)) return false;
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* rule = nullptr;
    if (!::GetAce(rules, i, &rule) || !RuleKeepsUsersOut(static_cast<ACE_HEADER*>(rule), use, alsoTrusted)) {
      return false;
    }
  }
  return true;
}

bool HeldKeepsUsersOut(HANDLE entry, FolderUse use) {
  const LocalSecurityDescriptor descriptor(entry);
  return KeepsUsersOut(descriptor.get(), use, ReferenceOwner());
}

bool OwnedByAdministrators(HANDLE entry) {
  const LocalSecurityDescriptor descriptor(entry);
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  return descriptor.get() && ::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted) && owner &&
         IsAdministratorsOrSystem(owner, ReferenceOwner());
}

// Every folder on the way that exists is no link; the last of them is judged
// with what it will hold: a folder the installer makes inherits its rules.
bool InstallFolderKeepsUsersOut(const std::wstring& folder) {
  wchar_t full[MAX_PATH];
  const DWORD length = folder.empty() ? 0 : ::GetFullPathNameW(folder.c_str(), MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::wstring path = WithoutTrailingSeparator(full);
  // "C:\", "C:\Apps", "C:\Apps\Foo"
  std::vector<std::wstring> steps;
  for (size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
    steps.push_back(path.substr(0, at == 2 ? 3 : at));
  }
  if (steps.empty() || steps.back() != path) steps.push_back(path);
  ScopedFile judged;
  for (const std::wstring& step : steps) {
    ScopedFile held = step.empty() ? ScopedFile() : OpenNoFollow(step, READ_CONTROL | FILE_READ_ATTRIBUTES);
    if (!held) {
      const DWORD error = ::GetLastError();
      if (step.empty() || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)) return false;
      break;
    }
    if (IsLink(held.get())) return false;
    judged = std::move(held);
  }
  return judged && HeldKeepsUsersOut(judged.get(), FolderUse::kInstalledInto);
}

}  // namespace zan
