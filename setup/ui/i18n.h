// The user's texts, read from "*.locale" language files by "language." keys.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

class TiXmlDocument;

namespace zan {

// "zh-cn", "zh-tw" or "en-us" for a full language identifier; 0 stands for
// the user's default language.
const wchar_t* GetLanguageCode(LANGID langId);

class CI18N {
 public:
  CI18N();
  virtual ~CI18N();
  CI18N(const CI18N&) = delete;
  CI18N& operator=(const CI18N&) = delete;

  // `folder` must end with a separator. A change discards the loaded file.
  bool SetLanguage(const std::wstring& folder, LANGID langId);

  // False (and `out` untouched) when no file or no such key exists.
  bool GetString(const std::wstring& key, std::wstring& out, UINT codePage);
  // The text of `key` in our UTF-8 language files; empty when there is none.
  std::wstring Text(const std::wstring& key);

 private:
  bool LoadDocument();

  std::wstring folder_;
  std::unique_ptr<TiXmlDocument> document_;
  LANGID languageId_;
};

}  // namespace zan
