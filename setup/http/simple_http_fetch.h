// One-shot HTTP requests over WinINet: each operation opens its own handles,
// sends one request, reads the answer and closes everything before it returns.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <functional>
#include <string>
#include <vector>

#include "http_url.h"
#include "internet_handle.h"
#include "multipart_body.h"
#include "network_run.h"

namespace zan {

// Kinds 1 to 3 are SOCKS proxies, 4 an HTTP proxy, 5 a direct connection.
struct ProxySetting {
  int kind;
  std::wstring host;
  int port;
  std::wstring userName;
  std::wstring password;
};

// One request for a document: its addresses, tried in turn through the
// run's retry policy (the first first; one try without a run), and what is
// sent with it.
struct HttpRequest {
  std::vector<std::wstring> addresses;
  std::wstring extraHeaders;
  const ProxySetting* proxy = nullptr;
};

// Results: S_OK; 1 for a status other than 200 (or, from FetchToFile, an
// empty body); E_ABORT when the deadline passed; E_FAIL or a file error's
// HRESULT otherwise. PostForm adds E_INVALIDARG for an address that does not
// parse, PostMultipart E_UNEXPECTED for a file it cannot send as announced.
class CSimpleHttpFetch {
 public:
  static constexpr DWORD kDefaultTimeout = 300000;
  static constexpr DWORD kNoByteLimit = 0xFFFFFFFF;
  static constexpr DWORD kReadSize = 4096;
  static constexpr DWORD kUploadPieceSize = 1048576;
  static constexpr unsigned long long kNoSizeCap = ~0ull;
  // A body longer than the size cap, refused (HRESULT_FROM_WIN32 of
  // ERROR_FILE_TOO_LARGE).
  static constexpr HRESULT kTooLarge = static_cast<HRESULT>(0x800700DF);
  static const wchar_t kDefaultHeaderBlock[];
  static const wchar_t kUploadHeaderBlock[];

  CSimpleHttpFetch() = default;
  virtual ~CSimpleHttpFetch() = default;
  CSimpleHttpFetch(const CSimpleHttpFetch&) = delete;
  CSimpleHttpFetch& operator=(const CSimpleHttpFetch&) = delete;

  // The request on each of its addresses in turn, tried again through
  // transient failures when a run is set; the results of the last try, as
  // FetchToString and FetchToFile give them. answered_url() then names the
  // address of the last try.
  HRESULT Fetch(const HttpRequest& request, std::string& body);
  HRESULT FetchFile(const HttpRequest& request, const std::wstring& path);

  // On S_OK the body, exactly as received, replaces `body`'s contents and
  // the charset and code page are updated; otherwise `body` is unchanged.
  HRESULT FetchToString(const std::wstring& url, const std::wstring& extraHeaders,
                        const ProxySetting* proxy, std::string& body);

  // The body goes to `path` + ".tmp" and is moved onto `path` only when it
  // arrived whole, so `path` never holds a partial body.
  HRESULT FetchToFile(const std::wstring& url, const std::wstring& extraHeaders,
                      const std::wstring& path, const ProxySetting* proxy);

  // Posts `form` as a urlencoded body; a query in `url` moves in front of
  // it with nothing in between. Results and `body` as FetchToString.
  HRESULT PostForm(const std::wstring& url, const std::wstring& extraHeaders, const std::wstring& form,
                   const ProxySetting* proxy, std::string& body);

  // Uploads the text fields and then the files (field name to path) as
  // multipart/form-data, each file read in kUploadPieceSize pieces. `body`
  // receives the answer whatever its status.
  HRESULT PostMultipart(const std::wstring& url, const std::wstring& extraHeaders, const FormFields& fields,
                        const FormFields& files, const ProxySetting* proxy, std::string& body);

  // The platform's cookie store. Both always return S_OK; a URL without
  // cookies gives an empty `value`.
  static HRESULT GetCookie(const std::wstring& url, const std::wstring& name, std::wstring& value);
  static HRESULT SetCookie(const std::wstring& url, const std::wstring& name, const std::wstring& data);

  // Status of the last response; untouched when no response arrived.
  int status() const { return status_; }
  // What the last try came to, and the address it went to.
  const TryOutcome& last_try() const { return try_; }
  // A copy: the next request changes it.
  std::wstring answered_url() const { return answered_; }

  // The run whose retry policy, cancel event and proxy credentials the
  // requests of FetchToString, FetchToFile, Fetch and FetchFile use; not
  // owned. Null (the default): one try, and a 407 is an answer like any.
  void set_run(const NetworkRun* run) { run_ = run; }
  const NetworkRun* run() const { return run_; }
  const std::wstring& charset() const { return charset_; }
  // 0 until FetchToString has read a body.
  int code_page() const { return code_page_; }

  void set_timeout(DWORD ms) { timeout_ = ms; }
  DWORD timeout() const { return timeout_; }
  // Header lines, each ended by CR LF; when not empty they replace the
  // default block and the extra header lines of every operation.
  void set_header_block(const std::wstring& block) { header_block_ = block; }
  const std::wstring& header_block() const { return header_block_; }
  void set_byte_limit(DWORD limit) { byte_limit_ = limit; }
  DWORD byte_limit() const { return byte_limit_; }
  // Unlike the byte limit, which cuts a body short and delivers what came,
  // a body longer than the size cap fails FetchToString and FetchToFile with
  // kTooLarge: refused when its Content-Length announces it, or as soon as
  // more arrived, so it is never held or stored whole.
  void set_size_cap(unsigned long long bytes) { size_cap_ = bytes; }
  unsigned long long size_cap() const { return size_cap_; }

 protected:
  enum class ChunkResult { kData, kEnd, kFailed };

  // Opens session, connection and request for `url` into `handles`, with
  // this object's time-out as connect and send time-out.
  HRESULT OpenRequest(const wchar_t* verb, const std::wstring& url, const ProxySetting* proxy,
                      InternetHandles* handles);

  // OpenRequest, then sends the header block and `body` (as UTF-8). S_OK
  // for status 200, 1 for another status, E_ABORT past the deadline.
  HRESULT SendRequest(const wchar_t* verb, const std::wstring& url, const std::wstring& extraHeaders,
                      const std::wstring& body, const ProxySetting* proxy, InternetHandles* handles);

  // Opens a request on an open connection with the flags for the address:
  // TLS by scheme or port, certificates checked in full.
  static HRESULT OpenRequestHandle(HINTERNET connection, const wchar_t* verb,
                                   const HttpUrlParts& url, ScopedInternet* request);

  // Whether a send of `url` worked, given its result and the error right
  // after it: a failed send logs a certificate or TLS failure by name, a
  // sent one must not have been redirected from TLS to plain http.
  static bool SendSucceeded(HINTERNET request, BOOL sent, DWORD error, const std::wstring& url);
  // One log line naming a certificate or TLS failure; other errors log nothing.
  static void LogTlsFailure(DWORD error, const std::wstring& url);
  // False, logged, when a TLS request for `url` ended on a plain-http
  // address: WinINet may follow such a redirect without a word.
  static bool RedirectKeptTls(HINTERNET request, const std::wstring& url);

  // Appends up to kReadSize bytes. kEnd when the body has ended, kFailed
  // when the read failed (the body is then incomplete; `*error`, when
  // given, says why).
  static ChunkResult ReadChunk(HINTERNET request, std::string* data, DWORD* error = nullptr);

  // Sends the request with `send` (which returns what HttpSendRequestW
  // did) and reads its status into `*status`: false, logged where it is a
  // certificate failure or a refused redirect, when no status came. A 407
  // is answered with the run's proxy credentials, asking the user for them
  // where need be. The try's outcome records the status, the error and a
  // Retry-After.
  bool SendForStatus(InternetHandles* handles, const std::wstring& url, const std::function<BOOL()>& send,
                     int* status);

  // Starts a new try: its outcome is empty again.
  void BeginTry() { try_ = TryOutcome(); }
  // The try's answer ended before its last byte.
  void NoteCutShort(DWORD error) {
    try_.cutShort = true;
    if (error) try_.error = error;
  }

  // A response header as text, however long. False when it is absent.
  static bool QueryHeaderText(HINTERNET request, DWORD info, std::wstring* text);
  // A text option of a handle (its address, say), however long.
  static bool QueryOptionText(HINTERNET handle, DWORD option, std::wstring* text);
  static bool QueryStatusCode(HINTERNET request, int* status);
  // False when the response announced a Content-Length other than `received`.
  static bool MatchesContentLength(HINTERNET request, unsigned long long received);
  // The response's Content-Length; false when it announced none.
  static bool AnnouncedLength(HINTERNET request, unsigned long long* length);

  // Where a response body goes and how its file is opened; the file is
  // opened at the first data, so an empty body creates none.
  struct BodyFile {
    static constexpr unsigned long long kNoCap = ~0ull;
    std::wstring path;
    DWORD access = GENERIC_WRITE;
    DWORD share = 0;
    DWORD disposition = CREATE_ALWAYS;
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    // File position of the body's first byte.
    unsigned long long offset = 0;
    // LockFile/UnlockFile around each write, for files several threads share.
    bool lockWrites = false;
    // Reading ends with E_ABORT once this event is signalled (the run's
    // cancel event); null: it never is.
    HANDLE cancel = nullptr;
    // A longer body fails with `pastCap`, and no byte past the cap is
    // written; one announced longer is refused before anything is read.
    unsigned long long cap = kNoCap;
    HRESULT pastCap = E_FAIL;
    // Reading stops, without failure, once this much is on disk.
    unsigned long long readLimit = kNoCap;
    bool checkDeadline = false;
    // Delete the file on failure (not on the deadline: that partial file
    // stays for the caller).
    bool discardOnFailure = false;
    // Just before the file is opened.
    std::function<void()> beforeOpen;
    // After each write, with the body offsets at which that chunk began and
    // ended (one past its last byte).
    std::function<void(unsigned long long begin, unsigned long long end)> afterWrite;
  };

  // Reads the rest of the body into `target`. S_OK when the body ended (as
  // long as any Content-Length announced) or the read limit was reached;
  // E_FAIL when a read failed, the body went past the cap or missed its
  // Content-Length; E_ABORT past the deadline; a file error's HRESULT.
  // `*received` counts the bytes written.
  HRESULT ReadBodyToFile(HINTERNET request, const BodyFile& target, unsigned long long* received);

  // The operation's deadline runs from here.
  void StartClock() { start_tick_ = ::GetTickCount(); }
  bool DeadlinePassed() const { return ::GetTickCount() - start_tick_ > timeout_; }

  void set_status(int status) { status_ = status; }

 private:
  // The object's header block, or `defaultBlock` followed by the extra lines.
  std::wstring RequestHeaderBlock(const wchar_t* defaultBlock, const std::wstring& extraHeaders) const;

  // SendRequest, then the answer into `body` as FetchToString delivers it.
  HRESULT SendAndReadString(const wchar_t* verb, const std::wstring& url, const std::wstring& extraHeaders,
                            const std::wstring& data, const ProxySetting* proxy, std::string& body);
  // Reads the body up to the byte limit. E_FAIL when a read failed or the
  // body missed its Content-Length; kTooLarge past the size cap; E_ABORT
  // past the deadline when asked to check it after every read.
  HRESULT ReadBodyToString(HINTERNET request, bool checkDeadline, std::string* received);
  // The one-try FetchToFile.
  HRESULT FetchFileOnce(const std::wstring& url, const std::wstring& extraHeaders, const std::wstring& path,
                        const ProxySetting* proxy);
  // Runs `once` on the request's addresses as the run's retry policy says.
  HRESULT WithRetries(const HttpRequest& request, const std::function<HRESULT(const std::wstring& url)>& once);
  void LogTooLarge(const std::wstring& url) const;
  // Charset and code page from the answer's Content-Type, and the body handed over.
  void DeliverBody(HINTERNET request, std::string* received, std::string& body);

  // InternetWriteFile until all `count` bytes are out.
  HRESULT WriteAll(HINTERNET request, const char* data, DWORD count) const;
  // The file's `size` bytes, and not one more or fewer: the request announced them.
  HRESULT WriteFileContents(HINTERNET request, const std::wstring& path, unsigned long long size,
                            std::string* piece) const;

  int status_ = 200;
  DWORD byte_limit_ = kNoByteLimit;
  unsigned long long size_cap_ = kNoSizeCap;
  std::wstring header_block_;
  std::wstring charset_;
  int code_page_ = 0;
  DWORD timeout_ = kDefaultTimeout;
  DWORD start_tick_ = 0;
  const NetworkRun* run_ = nullptr;
  TryOutcome try_;
  std::wstring answered_;
};

}  // namespace zan
