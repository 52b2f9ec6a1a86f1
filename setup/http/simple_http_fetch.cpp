#include "simple_http_fetch.h"

#include <algorithm>
#include <vector>

#include "code_page.h"
#include "proxy_credentials.h"
#include "setup/common/files.h"
#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"

namespace zan {
namespace {

constexpr int kDirectConnection = 5;
constexpr int kHttpProxy = 4;

bool UsesProxy(const ProxySetting* proxy) {
  return proxy && proxy->kind != kDirectConnection && !proxy->host.empty();
}

std::wstring ProxyString(const ProxySetting& proxy) {
  std::wstring address = proxy.host + L":" + std::to_wstring(proxy.port);
  if (proxy.kind >= 1 && proxy.kind <= 3) return L"SOCKS=" + address;
  if (proxy.kind == kHttpProxy) return L"HTTP=HTTP://" + address;
  return std::wstring();
}

void SetStringOption(HINTERNET handle, DWORD option, const std::wstring& value) {
  ::InternetSetOptionW(handle, option, const_cast<wchar_t*>(value.c_str()),
                       static_cast<DWORD>(value.size()));
}

// Writes one chunk at `offset`, under a byte-range lock of its length when
// other threads write into the same file.
HRESULT WriteAt(HANDLE file, unsigned long long offset, const std::string& chunk, bool lock) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  DWORD low = static_cast<DWORD>(offset);
  DWORD high = static_cast<DWORD>(offset >> 32);
  DWORD length = static_cast<DWORD>(chunk.size());
  if (lock) ::LockFile(file, low, high, length, 0);
  DWORD written = 0;
  BOOL ok = ::SetFilePointerEx(file, position, nullptr, FILE_BEGIN) &&
            ::WriteFile(file, chunk.data(), length, &written, nullptr) && written == length;
  HRESULT result = ok ? S_OK : HResultFromLastError();
  if (lock) ::UnlockFile(file, low, high, length, 0);
  return result;
}

// Our own words for the platform's certificate and TLS failures; null for
// every other error.
const wchar_t* TlsFailureText(DWORD error) {
  switch (error) {
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
      return L"the server's certificate has expired or is not yet valid";
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
      return L"the server's certificate is for another host name";
    case ERROR_INTERNET_SEC_CERT_REVOKED:
      return L"the server's certificate is revoked";
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
      return L"the server's certificate is not trusted";
    case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
      return L"the server redirected an https request to plain http";
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
      return L"no secure connection to the server could be made";
    default:
      return nullptr;
  }
}

// Where a TLS request ended: an https address, or the very address asked
// (TLS by port 443 keeps its "http" scheme). A redirect to any other
// "http:" address is a downgrade, port 443 or not: the platform then sends
// in plain text.
bool KeepsTls(const HttpUrlParts& asked, const std::wstring& reachedUrl) {
  HttpUrlParts reached;
  if (!CrackHttpUrlAsGiven(reachedUrl, &reached)) return false;
  if (EqualsIgnoreCase(reached.scheme, L"https")) return true;
  return EqualsIgnoreCase(reached.scheme, asked.scheme) && EqualsIgnoreCase(reached.host, asked.host) &&
         reached.port == asked.port && reached.objectName == asked.objectName;
}

void SetProxyLogon(HINTERNET request, const ProxyLogon& logon) {
  SetStringOption(request, INTERNET_OPTION_PROXY_USERNAME, logon.user);
  SetStringOption(request, INTERNET_OPTION_PROXY_PASSWORD, logon.password);
}

// Whether a Proxy-Authenticate header of the answer offers Basic.
bool OffersBasic(HINTERNET request) {
  for (DWORD index = 0; index < 16;) {
    wchar_t text[512];
    DWORD size = sizeof(text);
    const DWORD asked = index;
    if (!::HttpQueryInfoW(request, HTTP_QUERY_PROXY_AUTHENTICATE, text, &size, &index)) {
      if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
      index = asked + 1;
      continue;
    }
    if (ChallengeOffersBasic(std::wstring(text, size / sizeof(wchar_t)))) return true;
    if (index == asked) ++index;
  }
  return false;
}

// Reads what is left of an answer, so that its connection can carry the next.
void DiscardBody(HINTERNET request) {
  char buffer[4096];
  DWORD got = 0;
  for (int i = 0; i < 64 && ::InternetReadFile(request, buffer, sizeof(buffer), &got) && got; ++i) {
  }
}

// The proxy a session sends `url` through, as "host:port".
std::wstring ProxyNameOf(HINTERNET internet, const std::wstring& url) {
  std::vector<BYTE> buffer(1024);
  DWORD size = static_cast<DWORD>(buffer.size());
  if (!::InternetQueryOptionW(internet, INTERNET_OPTION_PROXY, buffer.data(), &size)) {
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return L"(unknown proxy)";
    buffer.resize(size);
    if (!::InternetQueryOptionW(internet, INTERNET_OPTION_PROXY, buffer.data(), &size)) return L"(unknown proxy)";
  }
  // UNICODE: the wide form, as InternetQueryOptionW fills it.
  const INTERNET_PROXY_INFO* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data());
  HttpUrlParts parts;
  const bool secure = CrackHttpUrl(url, &parts) && UsesTls(parts);
  std::wstring name = info->lpszProxy ? ProxyForUrl(info->lpszProxy, secure) : std::wstring();
  return name.empty() ? L"(unknown proxy)" : name;
}

}  // namespace

const wchar_t CSimpleHttpFetch::kDefaultHeaderBlock[] =
    L"Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
    L"application/vnd.ms-excel, application/vnd.ms-powerpoint, application/msword, */*\r\n"
    L"Accept-Language: zh-cn\r\n";

HRESULT CSimpleHttpFetch::OpenRequest(const wchar_t* verb, const std::wstring& url,
                                      const ProxySetting* proxy, InternetHandles* handles) {
  const bool useProxy = UsesProxy(proxy);
  std::wstring proxyString = useProxy ? ProxyString(*proxy) : std::wstring();
  handles->internet.reset(::InternetOpenW(
      L"SimpleHttpFetch", useProxy ? INTERNET_OPEN_TYPE_PROXY : INTERNET_OPEN_TYPE_PRECONFIG,
      proxyString.empty() ? nullptr : proxyString.c_str(), nullptr, 0));
  if (!handles->internet) return E_FAIL;

  HttpUrlParts parts;
  if (!CrackHttpUrl(url, &parts)) return E_FAIL;

  handles->connection.reset(::InternetConnectW(handles->internet.get(), parts.host.c_str(), parts.port,
                                               nullptr, nullptr, INTERNET_SERVICE_HTTP,
                                               INTERNET_FLAG_NO_CACHE_WRITE, 0));
  if (!handles->connection) return E_FAIL;

  // The receive time-out bounds each wait for the server's next bytes, so a
  // server that stops sending cannot hold a read, and with it the run, forever.
  DWORD timeout = timeout_;
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    ::InternetSetOptionW(handles->connection.get(), option, &timeout, sizeof(timeout));
  }
  if (useProxy) {
    SetStringOption(handles->connection.get(), INTERNET_OPTION_PROXY_USERNAME, proxy->userName);
    SetStringOption(handles->connection.get(), INTERNET_OPTION_PROXY_PASSWORD, proxy->password);
  }
  return OpenRequestHandle(handles->connection.get(), verb, parts, &handles->request);
}

HRESULT CSimpleHttpFetch::OpenRequestHandle(HINTERNET connection, const wchar_t* verb,
                                            const HttpUrlParts& url, ScopedInternet* request) {
  // "http://host" has no path; the request line still needs one.
  const wchar_t* object = url.objectName.empty() ? L"/" : url.objectName.c_str();
  request->reset(::HttpOpenRequestW(connection, verb, object, nullptr, nullptr, nullptr,
                                    RequestFlagsFor(url), 0));
  return *request ? S_OK : E_FAIL;
}

void CSimpleHttpFetch::LogTlsFailure(DWORD error, const std::wstring& url) {
  const wchar_t* what = TlsFailureText(error);
  if (what) WriteLog(L"%s, error %d, url: %s", what, static_cast<int>(error), url.c_str());
}

bool CSimpleHttpFetch::RedirectKeptTls(HINTERNET request, const std::wstring& url) {
  HttpUrlParts asked;
  if (!CrackHttpUrl(url, &asked) || !UsesTls(asked)) return true;
  std::wstring reached;
  if (QueryOptionText(request, INTERNET_OPTION_URL, &reached) && KeepsTls(asked, reached)) return true;
  WriteLog(L"refused a redirect from https to plain http, url: %s, to: %s", url.c_str(), reached.c_str());
  return false;
}

bool CSimpleHttpFetch::SendSucceeded(HINTERNET request, BOOL sent, DWORD error, const std::wstring& url) {
  if (!sent) {
    LogTlsFailure(error, url);
    return false;
  }
  return RedirectKeptTls(request, url);
}

std::wstring CSimpleHttpFetch::RequestHeaderBlock(const wchar_t* defaultBlock,
                                                  const std::wstring& extraHeaders) const {
  return header_block_.empty() ? defaultBlock + extraHeaders : header_block_;
}

HRESULT CSimpleHttpFetch::SendRequest(const wchar_t* verb, const std::wstring& url,
                                      const std::wstring& extraHeaders, const std::wstring& body,
                                      const ProxySetting* proxy, InternetHandles* handles) {
  HRESULT result = OpenRequest(verb, url, proxy, handles);
  if (result != S_OK) return result;
  HINTERNET request = handles->request.get();

  std::wstring block = RequestHeaderBlock(kDefaultHeaderBlock, extraHeaders);
  ::HttpAddRequestHeadersW(request, block.c_str(), static_cast<DWORD>(block.size()),
                           HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA |
                               HTTP_ADDREQ_FLAG_ADD);
  static const wchar_t kFormType[] = L"Content-Type: application/x-www-form-urlencoded";
  ::HttpAddRequestHeadersW(request, kFormType, static_cast<DWORD>(wcslen(kFormType)),
                           HTTP_ADDREQ_FLAG_ADD_IF_NEW | HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA);

  std::string data = WideToUtf8(body);
  int status = 0;
  const bool answered = SendForStatus(handles, url, [&] {
    return ::HttpSendRequestW(request, nullptr, 0, data.empty() ? nullptr : &data[0], static_cast<DWORD>(data.size()));
  }, &status);
  if (DeadlinePassed()) return E_ABORT;
  if (!answered) return E_FAIL;
  status_ = status;
  return status == HTTP_STATUS_OK ? S_OK : 1;
}

bool CSimpleHttpFetch::SendForStatus(InternetHandles* handles, const std::wstring& url,
                                     const std::function<BOOL()>& send, int* status) {
  HINTERNET request = handles->request.get();
  ProxyCredentials* credentials = run_ ? run_->proxy.get() : nullptr;
  unsigned generation = 0;
  if (credentials) {
    ProxyLogon logon;
    generation = credentials->Current(&logon);
    if (generation) SetProxyLogon(request, logon);
  }
  std::wstring proxy;
  for (;;) {
    const BOOL sent = send();
    const DWORD error = ::GetLastError();
    if (!SendSucceeded(request, sent, error, url)) {
      if (!sent) try_.error = error;
      return false;
    }
    if (!QueryStatusCode(request, status)) return false;
    try_.status = *status;
    // Only a challenge WinINet left to us: it answers NTLM and Negotiate with
    // the user's logon itself, over the connection it keeps alive.
    if (*status != HTTP_STATUS_PROXY_AUTH_REQ || !credentials || !OffersBasic(request)) break;
    if (proxy.empty()) proxy = ProxyNameOf(handles->internet.get(), url);
    DiscardBody(request);
    ProxyLogon logon;
    if (!credentials->Renew(proxy, generation, &logon, &generation)) break;
    SetProxyLogon(request, logon);
  }
  if (generation && *status != HTTP_STATUS_PROXY_AUTH_REQ) {
    credentials->Accepted(proxy.empty() ? ProxyNameOf(handles->internet.get(), url) : proxy, generation);
  }
  if (*status != HTTP_STATUS_OK && *status != HTTP_STATUS_PARTIAL_CONTENT) {
    QueryHeaderText(request, HTTP_QUERY_RETRY_AFTER, &try_.retryAfter);
  }
  return true;
}

CSimpleHttpFetch::ChunkResult CSimpleHttpFetch::ReadChunk(HINTERNET request, std::string* data, DWORD* error) {
  char buffer[kReadSize];
  DWORD got = 0;
  // A failed read leaves the body incomplete; it must not pass for its end.
  if (!::InternetReadFile(request, buffer, kReadSize, &got)) {
    if (error) *error = ::GetLastError();
    return ChunkResult::kFailed;
  }
  if (got == 0) return ChunkResult::kEnd;
  data->append(buffer, got);
  return ChunkResult::kData;
}

bool CSimpleHttpFetch::QueryHeaderText(HINTERNET request, DWORD info, std::wstring* text) {
  // The server decides the length: ask, grow, ask again.
  std::vector<wchar_t> buffer(256);
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (::HttpQueryInfoW(request, info, buffer.data(), &size, nullptr)) {
      text->assign(buffer.data(), std::min<size_t>(size / sizeof(wchar_t), buffer.size()));
      return true;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    buffer.resize(std::max<size_t>(size / sizeof(wchar_t) + 1, buffer.size() * 2));
  }
  return false;
}

bool CSimpleHttpFetch::QueryOptionText(HINTERNET handle, DWORD option, std::wstring* text) {
  std::vector<wchar_t> buffer(1024);
  for (int attempt = 0; attempt < 4; ++attempt) {
    // Counted in bytes, with room for the terminator either way.
    DWORD size = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    if (::InternetQueryOptionW(handle, option, buffer.data(), &size)) {
      buffer.back() = L'\0';
      text->assign(buffer.data());
      return true;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    buffer.resize(std::max<size_t>(size + 2, buffer.size() * 2));
  }
  return false;
}

bool CSimpleHttpFetch::QueryStatusCode(HINTERNET request, int* status) {
  DWORD code = 0;
  DWORD size = sizeof(code);
  if (!::HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr)) {
    return false;
  }
  *status = static_cast<int>(code);
  return true;
}

bool CSimpleHttpFetch::AnnouncedLength(HINTERNET request, unsigned long long* length) {
  std::wstring text;
  return QueryHeaderText(request, HTTP_QUERY_CONTENT_LENGTH, &text) && ParseDecimal(text, length);
}

bool CSimpleHttpFetch::MatchesContentLength(HINTERNET request, unsigned long long received) {
  unsigned long long announced = 0;
  // Nothing announced, nothing to hold the body against.
  return !AnnouncedLength(request, &announced) || announced == received;
}

HRESULT CSimpleHttpFetch::WithRetries(const HttpRequest& request,
                                      const std::function<HRESULT(const std::wstring& url)>& once) {
  if (request.addresses.empty()) return E_FAIL;
  RetryLoop loop(run_, request.addresses.size());
  size_t index = 0;
  for (;;) {
    BeginTry();
    answered_ = request.addresses[index];
    const HRESULT result = once(answered_);
    try_.result = result;
    if (result == S_OK || !loop.TryAgain(try_, answered_, index, &index)) return result;
  }
}

HRESULT CSimpleHttpFetch::Fetch(const HttpRequest& request, std::string& body) {
  return WithRetries(request, [&](const std::wstring& url) {
    StartClock();
    return SendAndReadString(L"GET", url, request.extraHeaders, std::wstring(), request.proxy, body);
  });
}

HRESULT CSimpleHttpFetch::FetchFile(const HttpRequest& request, const std::wstring& path) {
  return WithRetries(request, [&](const std::wstring& url) {
    return FetchFileOnce(url, request.extraHeaders, path, request.proxy);
  });
}

HRESULT CSimpleHttpFetch::FetchToString(const std::wstring& url, const std::wstring& extraHeaders,
                                        const ProxySetting* proxy, std::string& body) {
  HttpRequest request;
  request.addresses.push_back(url);
  request.extraHeaders = extraHeaders;
  request.proxy = proxy;
  return Fetch(request, body);
}

HRESULT CSimpleHttpFetch::PostForm(const std::wstring& url, const std::wstring& extraHeaders,
                                   const std::wstring& form, const ProxySetting* proxy, std::string& body) {
  StartClock();
  // The caller gave a full address or none: no "http://" guess here.
  HttpUrlParts parts;
  if (!CrackHttpUrlAsGiven(url, &parts)) return E_INVALIDARG;

  const size_t mark = url.find(L'?');
  if (mark == std::wstring::npos || mark == 0) {
    return SendAndReadString(L"POST", url, extraHeaders, form, proxy, body);
  }
  return SendAndReadString(L"POST", url.substr(0, mark), extraHeaders, url.substr(mark + 1) + form, proxy,
                           body);
}

HRESULT CSimpleHttpFetch::SendAndReadString(const wchar_t* verb, const std::wstring& url,
                                            const std::wstring& extraHeaders, const std::wstring& data,
                                            const ProxySetting* proxy, std::string& body) {
  InternetHandles handles;
  HRESULT result = SendRequest(verb, url, extraHeaders, data, proxy, &handles);
  if (result != S_OK) return result;
  std::string received;
  result = ReadBodyToString(handles.request.get(), false, &received);
  if (result == kTooLarge) LogTooLarge(url);
  if (result != S_OK) return result;
  DeliverBody(handles.request.get(), &received, body);
  return S_OK;
}

HRESULT CSimpleHttpFetch::ReadBodyToString(HINTERNET request, bool checkDeadline, std::string* received) {
  unsigned long long announced = 0;
  if (AnnouncedLength(request, &announced) && announced > size_cap_) return kTooLarge;
  ChunkResult chunk = ChunkResult::kData;
  DWORD error = 0;
  while (received->size() < byte_limit_) {
    chunk = ReadChunk(request, received, &error);
    if (checkDeadline && DeadlinePassed()) return E_ABORT;
    if (received->size() > size_cap_) return kTooLarge;
    if (chunk != ChunkResult::kData) break;
  }
  if (chunk == ChunkResult::kFailed || (chunk == ChunkResult::kEnd && !MatchesContentLength(request, received->size()))) {
    NoteCutShort(chunk == ChunkResult::kFailed ? error : 0);
    return E_FAIL;
  }
  return S_OK;
}

void CSimpleHttpFetch::LogTooLarge(const std::wstring& url) const {
  WriteLog(L"refused an answer larger than %s bytes, url: %s", std::to_wstring(size_cap_).c_str(),
           url.c_str());
}

void CSimpleHttpFetch::DeliverBody(HINTERNET request, std::string* received, std::string& body) {
  std::wstring contentType;
  QueryHeaderText(request, HTTP_QUERY_CONTENT_TYPE, &contentType);
  code_page_ = DetectCodePage(contentType, &charset_);
  body.swap(*received);
}

HRESULT CSimpleHttpFetch::ReadBodyToFile(HINTERNET request, const BodyFile& target,
                                         unsigned long long* received) {
  *received = 0;
  ScopedFile file;
  // Whatever this call wrote is useless once the body is known to be bad;
  // a file it never opened is left alone.
  auto fail = [&](HRESULT failure) {
    if (file && target.discardOnFailure) {
      file.reset();
      ::DeleteFileW(target.path.c_str());
    }
    return failure;
  };

  unsigned long long announced = 0;
  if (AnnouncedLength(request, &announced) && announced > target.cap) return target.pastCap;
  std::string chunk;
  ChunkResult result = ChunkResult::kData;
  DWORD error = 0;
  while (*received < target.readLimit) {
    chunk.clear();
    result = ReadChunk(request, &chunk, &error);
    if (target.cancel && IsSignalled(target.cancel)) return E_ABORT;
    // The partial file stays: the caller may look at what arrived in time.
    // A read that the receive time-out ended counts as the deadline's too.
    if (target.checkDeadline && DeadlinePassed()) return E_ABORT;
    if (result != ChunkResult::kData) break;
    // Past the cap lie bytes that belong to someone else (the next block).
    if (chunk.size() > target.cap - *received) return fail(target.pastCap);
    if (!file) {
      if (target.beforeOpen) target.beforeOpen();
      file.reset(::CreateFileW(target.path.c_str(), target.access, target.share, nullptr,
                               target.disposition, target.flags, nullptr));
      if (!file) return HResultFromLastError();
    }
    HRESULT wrote = WriteAt(file.get(), target.offset + *received, chunk, target.lockWrites);
    if (FAILED(wrote)) return fail(wrote);
    if (target.afterWrite) target.afterWrite(*received, *received + chunk.size());
    *received += chunk.size();
  }
  if (result == ChunkResult::kFailed || (result == ChunkResult::kEnd && !MatchesContentLength(request, *received))) {
    NoteCutShort(result == ChunkResult::kFailed ? error : 0);
    return fail(E_FAIL);
  }
  return S_OK;
}

HRESULT CSimpleHttpFetch::FetchToFile(const std::wstring& url, const std::wstring& extraHeaders,
                                      const std::wstring& path, const ProxySetting* proxy) {
  HttpRequest request;
  request.addresses.push_back(url);
  request.extraHeaders = extraHeaders;
  request.proxy = proxy;
  return FetchFile(request, path);
}

HRESULT CSimpleHttpFetch::FetchFileOnce(const std::wstring& url, const std::wstring& extraHeaders,
                                        const std::wstring& path, const ProxySetting* proxy) {
  StartClock();
  InternetHandles handles;
  HRESULT result = SendRequest(L"GET", url, extraHeaders, std::wstring(), proxy, &handles);
  if (DeadlinePassed()) return E_ABORT;
  if (result != S_OK) return result;
  HINTERNET request = handles.request.get();

  const std::wstring tempPath = path + L".tmp";
  const std::wstring folder = FolderOfPath(tempPath);
  if (!folder.empty()) EnsureFolder(folder);

  BodyFile temp;
  temp.path = tempPath;
  temp.access = GENERIC_ALL;
  temp.share = FILE_SHARE_READ;
  temp.disposition = CREATE_ALWAYS;
  temp.flags = FILE_ATTRIBUTE_NORMAL;
  temp.readLimit = byte_limit_;
  temp.cap = size_cap_;
  temp.pastCap = kTooLarge;
  temp.checkDeadline = true;
  temp.discardOnFailure = true;
  unsigned long long total = 0;
  result = ReadBodyToFile(request, temp, &total);
  if (result == kTooLarge) LogTooLarge(url);
  if (result != S_OK) return result;
  if (total == 0) return 1;

  if (!::MoveFileExW(tempPath.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
    return E_FAIL;
  }

  SYSTEMTIME modified = {};
  DWORD size = sizeof(modified);
  if (::HttpQueryInfoW(request, HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME, &modified, &size,
                       nullptr)) {
    ScopedFile target(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    FILETIME stamp;
    if (target && ::SystemTimeToFileTime(&modified, &stamp)) {
      ::SetFileTime(target.get(), nullptr, nullptr, &stamp);
    }
  }
  return S_OK;
}

HRESULT CSimpleHttpFetch::GetCookie(const std::wstring& url, const std::wstring& name, std::wstring& value) {
  const wchar_t* cookieName = name.empty() ? nullptr : name.c_str();
  DWORD size = 0;
  ::InternetGetCookieW(url.c_str(), cookieName, nullptr, &size);
  if (size == 0) size = 1024;
  // Platforms differ on whether the size counts characters or bytes and the
  // terminator; a buffer of `size` characters holds the text either way, and
  // the text ends at its terminator.
  std::vector<wchar_t> buffer(size + 1, L'\0');
  DWORD capacity = size;
  value.clear();
  if (::InternetGetCookieW(url.c_str(), cookieName, buffer.data(), &capacity)) {
    value.assign(buffer.data(), wcsnlen(buffer.data(), size));
  }
  return S_OK;
}

HRESULT CSimpleHttpFetch::SetCookie(const std::wstring& url, const std::wstring& name,
                                    const std::wstring& data) {
  ::InternetSetCookieW(url.c_str(), name.empty() ? nullptr : name.c_str(), data.c_str());
  return S_OK;
}

}  // namespace zan
