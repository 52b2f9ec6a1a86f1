#include "registration.h"

#include <string>
#include <vector>

#include "module.h"
#include "page_site.h"
#include "registry_keys.h"
#include "setup/common/handles.h"
#include "setup/common/site_lock.h"

namespace zan {
namespace {

constexpr DWORD kString = REG_SZ;
constexpr DWORD kNumber = REG_DWORD;
constexpr KeyRule kNormal = KeyRule::kNormal;
constexpr KeyRule kKept = KeyRule::kKept;
constexpr KeyRule kForced = KeyRule::kForced;

const wchar_t kAppId[] = L"{6C288E65-0557-489B-A427-19290A0D4753}";

RegValueRow Default(const wchar_t* text) { return {nullptr, kString, text, 0}; }
RegValueRow Text(const wchar_t* name, const wchar_t* text) { return {name, kString, text, 0}; }
RegValueRow Number(const wchar_t* name, DWORD number) { return {name, kNumber, nullptr, number}; }

// The application id.
const std::vector<RegKeyRow>& AppIdKeys() {
  static const std::vector<RegKeyRow> keys = {
      {L"Software", kKept, {}},
      {L"Software\\Classes", kKept, {}},
      {L"Software\\Classes\\AppID", kKept, {}},
      {L"Software\\Classes\\AppID\\%APPID%", kNormal, {Default(L"npZanSetupOneClick")}},
      {L"Software\\Classes\\AppID\\npZanSetupOneClick.DLL", kNormal, {Text(L"AppID", L"%APPID%")}},
  };
  return keys;
}

#define ZAN_CLSID L"{64677634-F8BA-429F-BBD8-08330E9F31E3}"
#define ZAN_LIBID L"{98CB0961-C0C7-491A-A633-CBA2DD3A1E4F}"
#define ZAN_IID L"{29486499-1C45-40E4-9F40-382453A90FEE}"
#define ZAN_PROGID L"npZanSetupOneClick.ZanSetupOneClick"
#define ZAN_CLASSES L"Software\\Classes\\"
#define ZAN_STATS L"Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Stats\\" ZAN_CLSID
#define ZAN_MOZILLA L"Software\\MozillaPlugins\\{@corvela.com/zansetup;version=1.0}"

// A 32-bit and a 64-bit module may be registered at once. On 64-bit
// Windows the class and the interface are kept apart per view of the
// user's classes (each module writes its own view), while the ProgIDs, the
// type library, the browser's approval and the NPAPI entry are one for
// both. The type library names each module under a platform key of its own.
constexpr bool kWin64 = sizeof(void*) == 8;
const wchar_t* const kPlatform = kWin64 ? L"win64" : L"win32";
const wchar_t* const kOtherPlatform = kWin64 ? L"win32" : L"win64";

// The ProgIDs, the type library's shared keys, the browser's approval (its
// sites come after) and the NPAPI plug-in entry: one for both modules.
// Unless `replace`, nothing is replaced whole, so the other module's own
// keys below them stay. The type library and the interface are keys of our
// own: the platform's RegisterTypeLib writes below HKEY_LOCAL_MACHINE, which
// a per-user install must not touch (and a standard user cannot), and its
// per-user form does the same on some systems.
std::vector<RegKeyRow> SharedKeys(bool replace) {
  const KeyRule replaced = replace ? kForced : kNormal;
  return {
      {L"Software", kKept, {}},
      {L"Software\\Classes", kNormal, {}},
      {ZAN_CLASSES ZAN_PROGID L".1", kNormal, {Default(L"ZanSetupOneClick Class")}},
      {ZAN_CLASSES ZAN_PROGID L".1\\CLSID", kNormal, {Default(ZAN_CLSID)}},
      {ZAN_CLASSES ZAN_PROGID, kNormal, {Default(L"ZanSetupOneClick Class")}},
      {ZAN_CLASSES ZAN_PROGID L"\\CLSID", kNormal, {Default(ZAN_CLSID)}},
      {ZAN_CLASSES ZAN_PROGID L"\\CurVer", kNormal, {Default(ZAN_PROGID L".1")}},
      {ZAN_CLASSES L"TypeLib", kKept, {}},
      {ZAN_CLASSES L"TypeLib\\" ZAN_LIBID, replaced, {}},
      {ZAN_CLASSES L"TypeLib\\" ZAN_LIBID L"\\1.0", replaced, {Default(L"npZanSetupOneClick 1.0 Type Library")}},
      {ZAN_CLASSES L"TypeLib\\" ZAN_LIBID L"\\1.0\\0", kNormal, {}},
      {ZAN_CLASSES L"TypeLib\\" ZAN_LIBID L"\\1.0\\FLAGS", kNormal, {Default(L"0")}},
      {ZAN_CLASSES L"TypeLib\\" ZAN_LIBID L"\\1.0\\HELPDIR", kNormal, {Default(L"")}},
      {L"Software\\Microsoft", kKept, {}},
      {L"Software\\Microsoft\\Windows", kKept, {}},
      {L"Software\\Microsoft\\Windows\\CurrentVersion", kKept, {}},
      {L"Software\\Microsoft\\Windows\\CurrentVersion\\Ext", kKept, {}},
      {L"Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Stats", kKept, {}},
      {ZAN_STATS, replaced, {}},
      {ZAN_STATS L"\\iexplore", kNormal, {Number(L"Type", 1), Number(L"Flags", 4), Number(L"Blocked", 2)}},
      {ZAN_STATS L"\\iexplore\\AllowedDomains", kNormal, {}},
      {L"Software\\MozillaPlugins", kKept, {}},
      {ZAN_MOZILLA, replaced,
       {Text(L"Description", L"corvela setup"), Text(L"Path", L"%MODULE%"), Text(L"Version", L"1.0")}},
      {ZAN_MOZILLA L"\\MimeTypes", kNormal, {}},
      {ZAN_MOZILLA L"\\MimeTypes\\application/x-zanclound.oneclick", kNormal,
       {Text(L"Description", L"corvela setup plugin")}},
  };
}

// The class and the interface in this module's view, and the type
// library's platform key that names this module.
const std::vector<RegKeyRow>& ModuleKeys() {
  static const std::vector<RegKeyRow> keys = {
      {L"Software", kKept, {}},
      {L"Software\\Classes", kKept, {}},
      {ZAN_CLASSES L"CLSID", kKept, {}},
      {ZAN_CLASSES L"CLSID\\" ZAN_CLSID, kForced, {Default(L"ZanSetupOneClick Class"), Text(L"AppID", L"%APPID%")}},
      {ZAN_CLASSES L"CLSID\\" ZAN_CLSID L"\\ProgID", kNormal, {Default(ZAN_PROGID L".1")}},
      {ZAN_CLASSES L"CLSID\\" ZAN_CLSID L"\\VersionIndependentProgID", kNormal, {Default(ZAN_PROGID)}},
      {ZAN_CLASSES L"CLSID\\" ZAN_CLSID L"\\Programmable", kForced, {}},
      {ZAN_CLASSES L"CLSID\\" ZAN_CLSID L"\\InprocServer32", kNormal,
       {Default(L"%MODULE%"), Text(L"ThreadingModel", L"Apartment")}},
      {ZAN_CLASSES L"CLSID\\" ZAN_CLSID L"\\TypeLib", kNormal, {Default(ZAN_LIBID)}},
      {ZAN_CLASSES L"TypeLib", kKept, {}},
      {ZAN_CLASSES L"TypeLib\\" ZAN_LIBID, kKept, {}},
      {ZAN_CLASSES L"TypeLib\\" ZAN_LIBID L"\\1.0", kKept, {}},
      {ZAN_CLASSES L"TypeLib\\" ZAN_LIBID L"\\1.0\\0", kKept, {}},
      {ZAN_CLASSES L"TypeLib\\" ZAN_LIBID L"\\1.0\\0\\%PLATFORM%", kNormal, {Default(L"%MODULE%")}},
      {ZAN_CLASSES L"Interface", kKept, {}},
      {ZAN_CLASSES L"Interface\\" ZAN_IID, kForced, {}},
      {ZAN_CLASSES L"Interface\\" ZAN_IID L"\\ProxyStubClsid", kNormal,
       {Default(L"{00020424-0000-0000-C000-000000000046}")}},
      {ZAN_CLASSES L"Interface\\" ZAN_IID L"\\ProxyStubClsid32", kNormal,
       {Default(L"{00020424-0000-0000-C000-000000000046}")}},
      {ZAN_CLASSES L"Interface\\" ZAN_IID L"\\TypeLib", kNormal, {Default(ZAN_LIBID), Text(L"Version", L"1.0")}},
  };
  return keys;
}

// The browser's approval for the allowed sites only, not for "*": a key
// for each, below the approval's AllowedDomains.
const std::vector<RegKeyRow>& AllowedDomainKeys() {
  static const std::vector<std::wstring> paths = [] {
    std::vector<std::wstring> keys;
    for (const std::wstring& host : AllowedHostList(AllowedSites())) {
      keys.push_back(ZAN_STATS L"\\iexplore\\AllowedDomains\\" + host);
    }
    return keys;
  }();
  static const std::vector<RegKeyRow> keys = [] {
    std::vector<RegKeyRow> rows;
    for (const std::wstring& path : paths) rows.push_back({path.c_str(), kNormal, {}});
    return rows;
  }();
  return keys;
}

// Registration runs in the system's locale, whatever the caller's thread uses.
class SystemLocale {
 public:
  SystemLocale() : saved_(::GetThreadLocale()) { ::SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
  ~SystemLocale() { ::SetThreadLocale(saved_); }
  SystemLocale(const SystemLocale&) = delete;
  SystemLocale& operator=(const SystemLocale&) = delete;

 private:
  LCID saved_;
};

std::vector<Replacement> Replacements(const std::wstring& module) {
  return {{L"APPID", kAppId}, {L"MODULE", module}, {L"PLATFORM", kPlatform}};
}

// The module that the other flavour registered, by its type library
// platform key; empty when it is not registered.
std::wstring OtherModule() {
  const std::wstring path =
      ZAN_CLASSES L"TypeLib\\" ZAN_LIBID L"\\1.0\\0\\" + std::wstring(kOtherPlatform);
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
    return std::wstring();
  }
  ScopedRegKey key(opened);
  wchar_t module[MAX_PATH + 1] = {};
  DWORD size = sizeof(module) - sizeof(wchar_t), type = 0;
  if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(module), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::wstring();
  }
  return module;
}

HRESULT RegisterShared(const std::vector<Replacement>& with, bool replace) {
  HRESULT result = RegisterKeys(HKEY_CURRENT_USER, AppIdKeys(), with);
  if (SUCCEEDED(result)) result = RegisterKeys(HKEY_CURRENT_USER, SharedKeys(replace), with);
  if (SUCCEEDED(result)) result = RegisterKeys(HKEY_CURRENT_USER, AllowedDomainKeys(), with);
  return result;
}

}  // namespace

// The shared keys are replaced whole only while no other module is
// registered; otherwise they are written over, and the NPAPI entry names
// this module, the one registered last.
HRESULT RegisterPlugin() {
  SystemLocale locale;
  const std::vector<Replacement> with = Replacements(PluginPath());
  HRESULT result = RegisterShared(with, OtherModule().empty());
  if (SUCCEEDED(result)) result = RegisterKeys(HKEY_CURRENT_USER, ModuleKeys(), with);
  return result;
}

// While the other module stays registered, the shared keys stay too and
// name it; they go with the last module.
HRESULT UnregisterPlugin() {
  SystemLocale locale;
  const std::vector<Replacement> with = Replacements(PluginPath());
  HRESULT result = UnregisterKeys(HKEY_CURRENT_USER, ModuleKeys(), with);
  if (FAILED(result)) return result;
  const std::wstring other = OtherModule();
  if (!other.empty()) return RegisterShared(Replacements(other), false);
  result = UnregisterKeys(HKEY_CURRENT_USER, AllowedDomainKeys(), with);
  if (SUCCEEDED(result)) result = UnregisterKeys(HKEY_CURRENT_USER, SharedKeys(true), with);
  if (SUCCEEDED(result)) result = UnregisterKeys(HKEY_CURRENT_USER, AppIdKeys(), with);
  return result;
}

}  // namespace zan
