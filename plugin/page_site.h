// The page that hosts the control or the plug-in, and whether it may ask for
// an install: an https page of the build's allowed sites
// (ZANSETUP_ALLOWED_SITES, by default the download server's host); a
// development build also takes http from its server's own host.
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
  kUnreadable,  // hosted by a browser, but the document's address could not be read
};

// The document that holds a control whose container gave it `site` (null:
// none): the client site's container, that document's "URL"; for a control
// that page script made, the document its site's services lead to. Not the
// top-level browser's address: a frame from another site inside an allowed
// page is that other site's document. A site that leads to no document is a
// script host's (no page), unless it offers a web browser service.
PageLookup PageUrlOfSite(IUnknown* site, std::wstring* url);

// The origin of the document that holds a plug-in instance, as the browser
// tells it (NPNVdocumentOrigin), never as page script could rewrite it. A
// host that gives no window object either has no page.
PageLookup PageUrlOfInstance(NPP npp, std::wstring* url);

// Why a page found by `lookup` at `url` may not install, or empty when it
// may; the refusal names the address it refused.
std::wstring PageRefusal(PageLookup lookup, const std::wstring& url);

}  // namespace zan
