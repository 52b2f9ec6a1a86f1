// The parts of a request address, as WinINet splits it, and the request
// flags that follow from them.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>

namespace zan {

struct HttpUrlParts {
  std::wstring scheme = L"http";
  std::wstring host;
  INTERNET_PORT port = INTERNET_DEFAULT_HTTP_PORT;
  // Path followed by the query (and fragment), as the request's object name.
  std::wstring objectName;
};

// Splits `url` with InternetCrackUrlW; an address the platform cannot split,
// or one without a host, is tried again with "http://" in front. False when
// neither works.
bool CrackHttpUrl(const std::wstring& url, HttpUrlParts* parts);
// The same without the second try: the address must name its scheme.
bool CrackHttpUrlAsGiven(const std::wstring& url, HttpUrlParts* parts);

// TLS when the scheme is https (any letter case) or the port is 443, the
// port that servers of plain-http addresses may still answer with TLS.
bool UsesTls(const HttpUrlParts& url);

// No caching, keep-alive, and TLS as UsesTls says. Certificates are checked
// in full; an upgrade from http to https is followed, while a redirect from
// https to http is refused after the send (RedirectKeptTls).
DWORD RequestFlagsFor(const HttpUrlParts& url);

}  // namespace zan
