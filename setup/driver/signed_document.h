// Documents of the download server (soft.info, language files, new.xml)
// and, in a pinned build, their detached signatures at the same address
// followed by ".p7s".
#pragma once

#include <string>

#include "setup/common/publisher_signature.h"
#include "setup/http/simple_http_fetch.h"

namespace zan {

// A signature file larger than this is refused.
extern const unsigned long long kSignatureSizeCap;

// Whether `text`, received from `url`, is signed by a pinned key: fetches
// url + ".p7s" with `fetch` and checks it over exactly these bytes. True,
// and nothing fetched, when `pins` is empty. Otherwise logs which way it
// failed: "the signature of URL is missing", "... is not valid" or "... is
// not by our publisher".
bool DocumentSignatureHolds(CSimpleHttpFetch& fetch, const std::wstring& url, const std::string& text,
                            const PublisherPins& pins);

// DocumentSignatureHolds and, when `pins` is not empty, the document is
// still fresh by the expiry time at `expiresPath` ("soft_info.expires"),
// read only once the signature holds. Otherwise logs "the document URL
// expired on TIME", "... gives no expiry time" or "... gives an unreadable
// expiry time: TEXT".
bool SignedDocumentHolds(CSimpleHttpFetch& fetch, const std::wstring& url, const std::string& text,
                         const PublisherPins& pins, const char* expiresPath);

// Whether the install-information document `text` names the product `name`
// ("soft_info.name") and, when `version` is not empty, that version
// ("soft_info.version"), letter case ignored; logs a mismatch. A signed
// document of one product or version then cannot stand in for another's.
bool DocumentIsFor(const std::wstring& url, const std::string& text, const std::wstring& name,
                   const std::wstring& version);

}  // namespace zan
