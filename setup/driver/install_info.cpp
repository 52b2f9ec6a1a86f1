#include "install_info.h"

#include <memory>

#include "command_line.h"
#include "messages.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"
#include "setup/http/simple_http_fetch.h"
#include "setup/common/worker.h"
#include "setup/common/xml_document.h"

namespace zan {
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

unsigned __stdcall InfoWorker(void* param) {
  std::unique_ptr<InfoJob> job = TakeBlock<InfoJob>(param);
  WriteLog(L"Download soft.xml url: %s", job->url.c_str());
  CSimpleHttpFetch fetch;
  std::string text;
  if (fetch.FetchToString(job->url, L"", nullptr, text) != S_OK) {
    WriteLog(L"Download soft.xml failed, url: %s, error code: %d", job->url.c_str(), fetch.status());
    ::PostMessageW(job->mainWindow, UM_INFO_FAILED, 0, 0);
    return 0;
  }
  std::wstring languageUrl = LanguageUrl(text, job->languageCode);
  std::wstring fileName = UrlFileName(languageUrl);
  WriteLog(L"Download language url: %s", languageUrl.c_str());
  if (!languageUrl.empty() && !IsUsableLanguageFileName(fileName)) {
    WriteLog(L"the language file name from the server is not usable: %s", fileName.c_str());
    ::PostMessageW(job->mainWindow, UM_INFO_FAILED, 0, 0);
    return 0;
  }
  // No address (no entry for the user's language) is a download that failed.
  HRESULT result = languageUrl.empty()
                       ? E_FAIL
                       : fetch.FetchToFile(languageUrl, L"", job->downloadFolder + fileName, nullptr);
  if (result != S_OK) {
    WriteLog(L"Download language failed, url: %s, error code: %d", languageUrl.c_str(), fetch.status());
    ::PostMessageW(job->mainWindow, UM_INFO_FAILED, 0, 0);
    return 0;
  }
  PostInfoReady(job->mainWindow, text);
  return 0;
}

}  // namespace

std::wstring BuildInfoUrl(const std::wstring& base, const std::wstring& name,
                          const std::wstring& version) {
  std::wstring pattern = version.empty() ? L"/zansetup/soft/%NAME%/soft.info"
                                         : L"/zansetup/soft/%NAME%/%VERSION%/soft.info";
  return base + ReplaceAll(ReplaceAll(pattern, L"%NAME%", name), L"%VERSION%", version);
}

bool IsUsableLanguageFileName(const std::wstring& name) {
  if (!IsSafePathSegment(name)) return false;
  // "~" could name a file by its short 8.3 alias (INSTAL~1.EXE).
  if (name.find(L'~') != std::wstring::npos) return false;
  static const wchar_t* const kPackageFiles[] = {L"install.exe", L"install.exe.tmp",
                                                 L"install.exe.size"};
  for (const wchar_t* reserved : kPackageFiles) {
    if (EqualsIgnoreCase(name, reserved)) return false;
  }
  return true;
}

std::wstring UrlFileName(const std::wstring& url) {
  size_t slash = url.rfind(L'/');
  return slash == std::wstring::npos ? url : url.substr(slash + 1);
}

bool StartInfoWorker(HWND mainWindow, const std::wstring& url, const std::wstring& downloadFolder,
                     const std::wstring& languageCode, const std::wstring& productName) {
  std::unique_ptr<InfoJob> job(new InfoJob{mainWindow, url, downloadFolder, languageCode, productName});
  return StartWorker(InfoWorker, std::move(job));
}

}  // namespace zan
