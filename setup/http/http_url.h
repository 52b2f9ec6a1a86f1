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

// No caching, keep-alive, and leniency about certificates and redirects
// between http and https; TLS is chosen by the port alone, not the scheme.
DWORD RequestFlagsForPort(INTERNET_PORT port);

}  // namespace zan
