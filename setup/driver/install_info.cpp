#include "install_info.h"

#include <memory>

#include "messages.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"
#include "setup/http/simple_http_fetch.h"
#include "setup/common/worker.h"
#include "setup/common/xml_document.h"

namespace zan {

const unsigned long long kDocumentSizeCap = 1024 * 1024;

namespace {

struct InfoJob {
  HWND mainWindow;
  std::wstring url;
  std::wstring downloadFolder;
  std::wstring languageCode;
  std::wstring productName;
};

void PostInfoReady(HWND mainWindow, const std::string& text) {
  std::string* copy = new std::string(text);
  if (!::PostMessageW(mainWindow, UM_INFO_READY, reinterpret_cast<WPARAM>(copy), 0)) delete copy;
}

std::wstring LanguageUrl(const std::string& documentText, const std::wstring& languageCode) {
  TiXmlDocument document;
  ParseXmlText(documentText, document);
  TiXmlElement* entry = FindElementByPath(&document, "soft_info.lang." + WideToUtf8(languageCode));
  return entry ? Utf8ToWide(ElementText(entry)) : std::wstring();
}

// Returns once it has posted UM_INFO_READY or UM_INFO_FAILED. Documents and
// language files are small: anything past kDocumentSizeCap is refused while
// it arrives.
void FetchInfo(const InfoJob& job) {
  WriteLog(L"Download soft.xml url: %s", job.url.c_str());
  CSimpleHttpFetch fetch;
  fetch.set_size_cap(kDocumentSizeCap);
  std::string text;
  if (fetch.FetchToString(job.url, L"", nullptr, text) != S_OK) {
    WriteLog(L"Download soft.xml failed, url: %s, error code: %d", job.url.c_str(), fetch.status());
    ::PostMessageW(job.mainWindow, UM_INFO_FAILED, 0, 0);
    return;
  }
  std::wstring languageUrl = LanguageUrl(text, job.languageCode);
  WriteLog(L"Download language url: %s", languageUrl.c_str());
  // No address (no entry for the user's language) is a download that failed.
  HRESULT result = languageUrl.empty() ? E_FAIL
                                       : fetch.FetchToFile(languageUrl, L"",
                                                           LanguageFilePath(job.downloadFolder, job.languageCode),
                                                           nullptr);
  if (result != S_OK) {
    WriteLog(L"Download language failed, url: %s, error code: %d", languageUrl.c_str(), fetch.status());
    ::PostMessageW(job.mainWindow, UM_INFO_FAILED, 0, 0);
    return;
  }
  PostInfoReady(job.mainWindow, text);
}

unsigned __stdcall InfoWorker(void* param) {
  std::unique_ptr<InfoJob> job = TakeBlock<InfoJob>(param);
  // FetchInfo posts last, so an exception means nothing was posted yet.
  if (!RunGuarded(L"the info thread", [&] { FetchInfo(*job); })) {
    ::PostMessageW(job->mainWindow, UM_INFO_FAILED, 0, 0);
  }
  return 0;
}

}  // namespace

std::wstring BuildInfoUrl(const std::wstring& base, const std::wstring& name,
                          const std::wstring& version) {
  std::wstring pattern = version.empty() ? L"/zansetup/soft/%NAME%/soft.info"
                                         : L"/zansetup/soft/%NAME%/%VERSION%/soft.info";
  return base + ReplaceAll(ReplaceAll(pattern, L"%NAME%", name), L"%VERSION%", version);
}

std::wstring LanguageFilePath(const std::wstring& downloadFolder, const std::wstring& languageCode) {
  return downloadFolder + languageCode + L".locale";
}

bool StartInfoWorker(HWND mainWindow, const std::wstring& url, const std::wstring& downloadFolder,
                     const std::wstring& languageCode, const std::wstring& productName) {
  std::unique_ptr<InfoJob> job(new InfoJob{mainWindow, url, downloadFolder, languageCode, productName});
  return StartWorker(InfoWorker, std::move(job));
}

}  // namespace zan
