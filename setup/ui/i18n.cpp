#include "i18n.h"

#include "setup/common/files.h"
#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"
#include "setup/common/xml_document.h"

namespace zan {

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

bool CI18N::SetLanguage(const std::wstring& folder, LANGID langId) {
  if (folder == folder_ && langId == languageId_) return true;
  folder_ = folder;
  languageId_ = langId;
  document_.reset();
  return true;
}

// While no file exists nothing is kept, so a file placed later is found by
// the next lookup.
bool CI18N::LoadDocument() {
  if (folder_.empty()) folder_ = GetModuleFolder(nullptr);
  std::wstring path = folder_ + GetLanguageCode(::GetUserDefaultLangID()) + L".locale";
  if (!FileExists(path)) {
    WIN32_FIND_DATAW data;
    ScopedFind find(::FindFirstFileW((folder_ + L"*.locale").c_str(), &data));
    if (!find) return false;
    path = folder_ + data.cFileName;
  }
  document_.reset(new TiXmlDocument());
  // A file that fails to parse stays loaded with whatever the parser built.
  LoadXmlFile(path, *document_);
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

}  // namespace zan
