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
  // The program's own language files, compiled in: texts that no file the
  // user can write decides, and that exist before any file has arrived.
  // `code` names the language ("en-us"); empty: the user's. The next
  // SetLanguage with a folder leaves them.
  void UseBuiltIn(const std::wstring& code = std::wstring());

  // False (and `out` untouched) when no file or no such key exists.
  bool GetString(const std::wstring& key, std::wstring& out, UINT codePage);
  // The text of `key` in our UTF-8 language files; empty when there is none.
  std::wstring Text(const std::wstring& key);

 private:
  bool LoadDocument();
  bool LoadBuiltIn();

  std::wstring folder_;
  bool builtIn_ = false;
  std::wstring builtInCode_;
  std::unique_ptr<TiXmlDocument> document_;
  LANGID languageId_;
};

// The compiled-in text of `key` in the user's language (the English one
// when that has no such key); empty when neither has it. For texts that
// must show whatever language file is loaded, or none. UI thread only.
std::wstring BuiltInText(const std::wstring& key);

}  // namespace zan
