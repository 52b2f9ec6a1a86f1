// The multipart upload of CSimpleHttpFetch: the body is announced whole,
// then streamed, each file read in pieces so memory stays flat.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <vector>

#include "setup/common/handles.h"
#include "simple_http_fetch.h"

namespace zan {
namespace {

struct FileToSend {
  std::string header;
  std::wstring path;
  unsigned long long size;
};

// Readers may be writing the file (a log being uploaded); sharing write
// lets the upload notice a change in size instead of failing to open.
ScopedFile OpenForUpload(const std::wstring& path) {
  return ScopedFile(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

bool IsCertificateError(DWORD error) {
  return error == ERROR_INTERNET_SEC_CERT_DATE_INVALID || error == ERROR_INTERNET_SEC_CERT_CN_INVALID ||
         error == ERROR_INTERNET_INVALID_CA;
}

// The platform's certificate dialog; true when the person chose to go on,
// which also relaxes the request's checks for the one retry.
bool UserAcceptsCertificate(HINTERNET request, DWORD error) {
  return IsCertificateError(error) &&
         ::InternetErrorDlg(::GetDesktopWindow(), request, error,
                            FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                            nullptr) == ERROR_INTERNET_FORCE_RETRY;
}

}  // namespace

// The blank line ends nothing: empty header lines are skipped when added.
const wchar_t CSimpleHttpFetch::kUploadHeaderBlock[] =
    L"Accept: text/html,application/xhtml+xml,application/xml, image/gif, image/x-xbitmap, image/jpeg, "
    L"image/pjpeg, application/x-shockwave-flash, application/vnd.ms-excel, application/vnd.ms-powerpoint, "
    L"application/msword, */*\r\nAccept-Language: zh-cn\r\n\r\n";

HRESULT CSimpleHttpFetch::PostMultipart(const std::wstring& url, const std::wstring& extraHeaders,
                                        const FormFields& fields, const FormFields& files,
                                        const ProxySetting* proxy, std::string& body) {
  StartClock();
  const std::wstring boundary = MultipartBoundary(_time64(nullptr));
  InternetHandles handles;
  HRESULT result = OpenRequest(L"POST", url, proxy, &handles);
  if (result != S_OK) return result;
  HINTERNET request = handles.request.get();

  std::wstring headers = RequestHeaderBlock(kUploadHeaderBlock, extraHeaders) +
                         L"Content-Type: multipart/form-data; charset=UTF-8; boundary=" + boundary + L"\r\n";
  ::HttpAddRequestHeadersW(request, headers.c_str(), static_cast<DWORD>(headers.size()),
                           HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA |
                               HTTP_ADDREQ_FLAG_ADD);

  const std::string textPart = MultipartTextPart(boundary, fields);
  const std::string closing = MultipartClosing(boundary);
  std::vector<FileToSend> uploads;
  unsigned long long total = textPart.size() + closing.size();
  for (const auto& field : files) {
    ScopedFile file = OpenForUpload(field.second);
    LARGE_INTEGER size;
    if (!file || !::GetFileSizeEx(file.get(), &size)) return E_UNEXPECTED;
    uploads.push_back({MultipartFileHeader(boundary, field.first, field.second), field.second,
                       static_cast<unsigned long long>(size.QuadPart)});
    total += uploads.back().header.size() + uploads.back().size + 2;
  }
  // The request announces its length in 32 bits; a longer body cannot be sent.
  if (total > MAXDWORD) return E_UNEXPECTED;

  // The record's size is part of the call's contract (40 bytes on this target).
  static_assert(sizeof(void*) != 4 || sizeof(INTERNET_BUFFERSW) == 40, "INTERNET_BUFFERSW layout");
  INTERNET_BUFFERSW announce = {};
  announce.dwStructSize = sizeof(announce);
  announce.dwBufferTotal = static_cast<DWORD>(total);
  BOOL sent = ::HttpSendRequestExW(request, &announce, nullptr, 0, 0);
  DWORD error = ::GetLastError();
  if (DeadlinePassed()) return E_ABORT;
  // Only here may a person accept a certificate that failed its check.
  if (!sent && UserAcceptsCertificate(request, error)) {
    sent = ::HttpSendRequestExW(request, &announce, nullptr, 0, 0);
    error = ::GetLastError();
    if (DeadlinePassed()) return E_ABORT;
  }
  if (!sent) {
    LogTlsFailure(error, url);
    return E_FAIL;
  }

  auto write = [&](const std::string& bytes) {
    return WriteAll(request, bytes.data(), static_cast<DWORD>(bytes.size()));
  };
  result = write(textPart);
  std::string piece;
  for (const FileToSend& upload : uploads) {
    if (result == S_OK) result = write(upload.header);
    if (result == S_OK) result = WriteFileContents(request, upload.path, upload.size, &piece);
    if (result == S_OK) result = write("\r\n");
  }
  if (result == S_OK) result = write(closing);
  // Closing the handles unfinished abandons the request: the server never
  // sees the announced length complete.
  if (result != S_OK) return result;
  // Redirects are followed here, at the end of the request.
  const BOOL ended = ::HttpEndRequestW(request, nullptr, 0, 0);
  if (!SendSucceeded(request, ended, ::GetLastError(), url)) return E_FAIL;

  std::string received;
  if (byte_limit() != 0) {
    result = ReadBodyToString(request, true, &received);
    if (result != S_OK) return result;
  }
  DeliverBody(request, &received, body);
  int status = 0;
  if (!QueryStatusCode(request, &status)) return E_FAIL;
  set_status(status);
  return status == HTTP_STATUS_OK ? S_OK : 1;
}

HRESULT CSimpleHttpFetch::WriteAll(HINTERNET request, const char* data, DWORD count) const {
  while (count > 0) {
    DWORD written = 0;
    const BOOL ok = ::InternetWriteFile(request, data, count, &written);
    if (DeadlinePassed()) return E_ABORT;
    // A call that moves nothing would loop for ever.
    if (!ok || written == 0 || written > count) return E_FAIL;
    data += written;
    count -= written;
  }
  return S_OK;
}

HRESULT CSimpleHttpFetch::WriteFileContents(HINTERNET request, const std::wstring& path,
                                            unsigned long long size, std::string* piece) const {
  ScopedFile file = OpenForUpload(path);
  if (!file) return E_UNEXPECTED;
  // A file that grew or shrank since its length was announced would make the
  // body disagree with it: the server would wait for bytes or cut the body.
  auto unchanged = [&] {
    LARGE_INTEGER now;
    return ::GetFileSizeEx(file.get(), &now) && static_cast<unsigned long long>(now.QuadPart) == size;
  };
  if (piece->empty() && size > 0) piece->resize(kUploadPieceSize);
  for (unsigned long long remaining = size; remaining > 0;) {
    const DWORD want = static_cast<DWORD>(std::min<unsigned long long>(remaining, kUploadPieceSize));
    DWORD got = 0;
    if (!::ReadFile(file.get(), &(*piece)[0], want, &got, nullptr) || got != want || !unchanged()) {
      return E_UNEXPECTED;
    }
    HRESULT result = WriteAll(request, piece->data(), got);
    if (result != S_OK) return result;
    remaining -= got;
  }
  return unchanged() ? S_OK : E_UNEXPECTED;
}

}  // namespace zan
