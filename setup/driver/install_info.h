// The install-information document: its address and the worker that fetches
// it and the language file it names.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "network_session.h"

namespace zan {

// "/zansetup/soft/NAME/VERSION/soft.info" on `base`, or the versionless form.
std::wstring BuildInfoUrl(const std::wstring& base, const std::wstring& name,
                          const std::wstring& version);

// soft.info, new.xml and language files larger than this are refused.
extern const unsigned long long kDocumentSizeCap;

// Where the product's language file is stored, whatever its address ends
// in: "<code>.locale", the name the language strings look for first. A name
// from the server could be one the package's installer would load (a DLL
// beside it) or the package itself.
std::wstring LanguageFilePath(const std::wstring& downloadFolder, const std::wstring& languageCode);

// Starts the info worker; it posts UM_INFO_READY or UM_INFO_FAILED to
// `mainWindow`. In a pinned build soft.info and the language file count
// only when signed, and soft.info only when it names this product and
// version. Both are asked for on each of `bases` in turn, tried again
// through transient failures under `ticket`'s run. False when no thread
// could be started.
bool StartInfoWorker(HWND mainWindow, const std::wstring& url, const std::wstring& downloadFolder,
                     const std::wstring& languageCode, const std::wstring& productName,
                     const std::wstring& productVersion, const std::vector<std::wstring>& bases,
                     NetworkTicket ticket);

}  // namespace zan
