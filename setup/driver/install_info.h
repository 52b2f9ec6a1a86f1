// The install-information document: its address and the worker that fetches
// it and the language file it names.
#pragma once

#include <windows.h>

#include <string>

namespace zan {

// "/zansetup/soft/NAME/VERSION/soft.info" on `base`, or the versionless form.
std::wstring BuildInfoUrl(const std::wstring& base, const std::wstring& name,
                          const std::wstring& version);

// Whether a language file name that the server gave can be stored in the
// product's download folder: one folder-safe name, and none of the package's
// own files (the installer and its download state), which it would replace.
bool IsUsableLanguageFileName(const std::wstring& name);

// The text after the last "/" (the whole address when there is none).
std::wstring UrlFileName(const std::wstring& url);

// Starts the info worker; it posts UM_INFO_READY or UM_INFO_FAILED to
// `mainWindow`. False when no thread could be started.
bool StartInfoWorker(HWND mainWindow, const std::wstring& url, const std::wstring& downloadFolder,
                     const std::wstring& languageCode, const std::wstring& productName);

}  // namespace zan
