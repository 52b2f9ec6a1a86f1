// The page that hosts the control or the plug-in, and whether its site may
// ask for an install (ZANSETUP_ALLOWED_SITES, by default the download
// server's host).
#pragma once

#include <windows.h>

#include <string>

#include "browser_plugin_api.h"

namespace zan {

// The build's allowed sites, as the text it was built with.
const wchar_t* AllowedSites();

enum class PageLookup {
  kNoPage,      // no page hosts it: a script host, which runs with the user's rights anyway
  kFound,
  kUnreadable,  // hosted, but the page's address could not be read
};

// The page of a control whose container gave it `site` (null: none):
// IServiceProvider, the web browser service, its "LocationURL". A site
// without that service (a script host's) is no page.
PageLookup PageUrlOfSite(IUnknown* site, std::wstring* url);

// The page of a plug-in instance: window.location.href.
PageLookup PageUrlOfInstance(NPP npp, std::wstring* url);

// Why a page found by `lookup` at `url` may not install, or empty when it
// may ("the page's host ... is not allowed").
std::wstring PageRefusal(PageLookup lookup, const std::wstring& url);

}  // namespace zan
