#include "install_info.h"

#include <memory>

#include "setup/common/build_settings.h"
#include "setup/ui/messages.h"
#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"
#include "setup/http/simple_http_fetch.h"
#include "setup/common/worker.h"
#include "setup/common/xml_document.h"
#include "network_session.h"
#include "signed_document.h"

namespace zan {

const unsigned long long kDocumentSizeCap = 1024 * 1024;

namespace {

struct InfoJob {
  HWND mainWindow;
  std::wstring url;
  std::wstring downloadFolder;
  std::wstring languageCode;
  std::wstring productName;
  std::wstring productVersion;
  std::vector<std::wstring> bases;
  NetworkTicket ticket;
};

std::wstring LanguageUrl(const std::string& documentText, const std::wstring& languageCode) {
  TiXmlDocument document;
  ParseXmlText(documentText, document);
  TiXmlElement* entry = FindElementByPath(&document, "soft_info.lang." + WideToUtf8(languageCode));
  return entry ? Utf8ToWide(ElementText(entry)) : std::wstring();
}

// Written aside and moved into place, so the file is whole or absent.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  const std::wstring aside = path + L".tmp";
  bool written = false;
  {
    ScopedFile file(::CreateFileW(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD count = 0;
    written = file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr) &&
              count == bytes.size();
  }
  if (written && ::MoveFileExW(aside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  ::DeleteFileW(aside.c_str());
  return false;
}

// soft.info, signed and fresh (in a pinned build) and for this run's product and version.
// A request that a cancelled run ended is no failure to log as one.
bool EndedWithTheRun(const InfoJob& job) {
  if (!IsSignalled(job.ticket.cancel.get())) return false;
  WriteLog(L"the information download ended with the run");
  return true;
}

// Asked for on each base in turn; its signature then comes from the base that answered.
bool FetchInfoDocument(CSimpleHttpFetch& fetch, const InfoJob& job, std::string* text) {
  HttpRequest request;
  request.addresses = AddressesOnBases(job.url, job.bases);
  if (fetch.Fetch(request, *text) != S_OK) {
    if (EndedWithTheRun(job)) return false;
    WriteLog(L"Download soft.xml failed, url: %s, error code: %d", job.url.c_str(), fetch.status());
    return false;
  }
  const std::wstring answered = fetch.answered_url();
  const PublisherPins& pins = BuildPins();
  return SignedDocumentHolds(fetch, answered, *text, pins, "soft_info.expires") &&
         (pins.empty() || DocumentIsFor(answered, *text, job.productName, job.productVersion));
}

// The language file, signed and fresh like soft.info, stored only once it is checked.
bool FetchLanguageFile(CSimpleHttpFetch& fetch, const InfoJob& job, const std::wstring& url) {
  std::string text;
  // No address (no entry for the user's language) is a download that
  // failed, and so is an empty file.
  HttpRequest request;
  request.addresses = AddressesOnBases(url, job.bases);
  HRESULT result = url.empty() ? E_FAIL : fetch.Fetch(request, text);
  if (result != S_OK || text.empty()) {
    if (EndedWithTheRun(job)) return false;
    WriteLog(L"Download language failed, url: %s, error code: %d", url.c_str(), fetch.status());
    return false;
  }
  if (!SignedDocumentHolds(fetch, fetch.answered_url(), text, BuildPins(), "language.expires")) return false;
  // A file that cannot be put in place is a language file not fetched.
  if (!WriteWholeFile(LanguageFilePath(job.downloadFolder, job.languageCode), text)) {
    WriteLog(L"Download language failed, url: %s, error code: %d", url.c_str(), fetch.status());
    return false;
  }
  return true;
}

// Returns once it has posted UM_INFO_READY or UM_INFO_FAILED. Documents and
// language files are small: anything past kDocumentSizeCap is refused while
// it arrives.
void FetchInfo(const InfoJob& job) {
  WriteLog(L"Download soft.xml url: %s", job.url.c_str());
  const NetworkRun run = job.ticket.MakeRun();
  CSimpleHttpFetch fetch;
  fetch.set_run(&run);
  fetch.set_size_cap(kDocumentSizeCap);
  std::string text;
  if (EndedWithTheRun(job) || !FetchInfoDocument(fetch, job, &text)) {
    ::PostMessageW(job.mainWindow, UM_INFO_FAILED, 0, 0);
    return;
  }
  std::wstring languageUrl = LanguageUrl(text, job.languageCode);
  WriteLog(L"Download language url: %s", languageUrl.c_str());
  if (EndedWithTheRun(job) || !FetchLanguageFile(fetch, job, languageUrl)) {
    ::PostMessageW(job.mainWindow, UM_INFO_FAILED, 0, 0);
    return;
  }
  PostOwned(job.mainWindow, UM_INFO_READY, std::make_unique<std::string>(std::move(text)));
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
                     const std::wstring& languageCode, const std::wstring& productName,
                     const std::wstring& productVersion, const std::vector<std::wstring>& bases,
                     NetworkTicket ticket) {
  std::unique_ptr<InfoJob> job(new InfoJob{mainWindow, url, downloadFolder, languageCode, productName,
                                           productVersion, bases, std::move(ticket)});
  return StartWorker(InfoWorker, std::move(job));
}

}  // namespace zan
