#include "i18n.h"

#include "setup/common/files.h"
#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"
#include "setup/common/xml_document.h"
#include "resource.h"

namespace zan {
namespace {

// As the documents that come with it: a language file is small, and one
// larger than this is not parsed at all.
constexpr unsigned long long kLanguageFileCap = 1024 * 1024;

}  // namespace

const wchar_t* GetLanguageCode(LANGID langId) {
  if (langId == 0) langId = ::GetUserDefaultLangID();
  switch (langId) {
    case 0x0404:  // Chinese (Taiwan)
    case 0x1004:  // Chinese (Singapore)
      return L"zh-tw";
    case 0x0804:  // Chinese (PRC)
    case 0x0C04:  // Chinese (Hong Kong SAR)
      return L"zh-cn";
    default:
      return L"en-us";
  }
}

CI18N::CI18N() : languageId_(::GetUserDefaultLangID()) {}

CI18N::~CI18N() = default;

namespace {

int BuiltInResource(const std::wstring& code) {
  if (code == L"zh-cn") return IDR_LOCALE_ZH_CN;
  if (code == L"zh-tw") return IDR_LOCALE_ZH_TW;
  return IDR_LOCALE_EN_US;
}

// The compiled-in file of `code` as text; empty when the module has none.
std::string BuiltInFile(const std::wstring& code) {
  HMODULE module = GetLogModule() ? GetLogModule() : ::GetModuleHandleW(nullptr);
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(BuiltInResource(code)), MAKEINTRESOURCEW(10));
  HGLOBAL loaded = found ? ::LoadResource(module, found) : nullptr;
  const char* bytes = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
  return bytes ? std::string(bytes, ::SizeofResource(module, found)) : std::string();
}

}  // namespace

bool CI18N::SetLanguage(const std::wstring& folder, LANGID langId) {
  if (!builtIn_ && folder == folder_ && langId == languageId_) return true;
  builtIn_ = false;
  folder_ = folder;
  languageId_ = langId;
  document_.reset();
  return true;
}

void CI18N::UseBuiltIn(const std::wstring& code) {
  if (builtIn_ && code == builtInCode_) return;
  builtIn_ = true;
  builtInCode_ = code;
  folder_.clear();
  document_.reset();
}

bool CI18N::LoadBuiltIn() {
  std::string text = BuiltInFile(builtInCode_.empty() ? GetLanguageCode(0) : builtInCode_);
  if (text.empty()) return false;
  document_.reset(new TiXmlDocument());
  ParseXmlText(text, *document_);
  return true;
}

// While no file exists nothing is kept, so a file placed later is found by
// the next lookup.
bool CI18N::LoadDocument() {
  if (builtIn_) return LoadBuiltIn();
  if (folder_.empty()) folder_ = GetModuleFolder(nullptr);
  std::wstring path = folder_ + GetLanguageCode(::GetUserDefaultLangID()) + L".locale";
  if (!FileExists(path)) {
    WIN32_FIND_DATAW data;
    ScopedFind find(::FindFirstFileW((folder_ + L"*.locale").c_str(), &data));
    if (!find) return false;
    path = folder_ + data.cFileName;
  }
  document_.reset(new TiXmlDocument());
  // A file that fails to parse stays loaded with whatever the parser built;
  // one too large stays loaded empty, so it is refused once.
  bool tooLarge = false;
  if (!LoadXmlFile(path, *document_, kLanguageFileCap, &tooLarge) && tooLarge) {
    WriteLog(L"refused the language file %s: it is larger than %s bytes", path.c_str(),
             std::to_wstring(kLanguageFileCap).c_str());
  }
  return true;
}

bool CI18N::GetString(const std::wstring& key, std::wstring& out, UINT codePage) {
  if (!document_ && !LoadDocument()) return false;
  TiXmlElement* element = FindElementByPath(document_.get(), WideToMultiByte(key, codePage));
  if (!element) return false;
  out = MultiByteToWide(ElementText(element), codePage);
  return true;
}

std::wstring CI18N::Text(const std::wstring& key) {
  std::wstring text;
  GetString(key, text, CP_UTF8);
  return text;
}

std::wstring BuiltInText(const std::wstring& key) {
  static CI18N user;
  static CI18N english;
  user.UseBuiltIn();
  english.UseBuiltIn(L"en-us");
  std::wstring text;
  if (user.GetString(key, text, CP_UTF8)) return text;
  // A key only the English file has yet still shows, in English.
  english.GetString(key, text, CP_UTF8);
  return text;
}

}  // namespace zan
