#include "http_url.h"

#include "setup/common/string_util.h"

namespace zan {

bool CrackHttpUrlAsGiven(const std::wstring& url, HttpUrlParts* parts) {
  // Non-zero lengths with null buffers make the call point into `url`.
  URL_COMPONENTSW components = {};
  components.dwStructSize = sizeof(components);
  components.dwSchemeLength = 1;
  components.dwHostNameLength = 1;
  components.dwUrlPathLength = 1;
  components.dwExtraInfoLength = 1;
  if (!::InternetCrackUrlW(url.c_str(), static_cast<DWORD>(url.size()), 0, &components)) return false;
  if (!components.lpszHostName || components.dwHostNameLength == 0) return false;

  HttpUrlParts result;
  if (components.lpszScheme && components.dwSchemeLength > 0) {
    result.scheme.assign(components.lpszScheme, components.dwSchemeLength);
  }
  result.host.assign(components.lpszHostName, components.dwHostNameLength);
  if (components.nPort != 0) result.port = components.nPort;
  if (components.lpszUrlPath) result.objectName.assign(components.lpszUrlPath, components.dwUrlPathLength);
  if (components.lpszExtraInfo) {
    result.objectName.append(components.lpszExtraInfo, components.dwExtraInfoLength);
  }
  *parts = result;
  return true;
}

bool CrackHttpUrl(const std::wstring& url, HttpUrlParts* parts) {
  return CrackHttpUrlAsGiven(url, parts) || CrackHttpUrlAsGiven(L"http://" + url, parts);
}

bool UsesTls(const HttpUrlParts& url) {
  return EqualsIgnoreCase(url.scheme, L"https") || url.port == INTERNET_DEFAULT_HTTPS_PORT;
}

DWORD RequestFlagsFor(const HttpUrlParts& url) {
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS;
  if (UsesTls(url)) flags |= INTERNET_FLAG_SECURE;
  return flags;
}

}  // namespace zan
