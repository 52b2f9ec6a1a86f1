#include "ui_manager.h"

#include <shlobj.h>

#include "command_line.h"
#include "download_folder.h"
#include "install_info.h"
#include "registry_path.h"
#include "rights.h"
#include "self_update.h"
#include "setup/common/access_rules.h"
#include "setup/common/build_settings.h"
#include "setup/common/file_digests.h"
#include "setup/common/files.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"
#include "setup/common/xml_document.h"
#include "setup/ui/path_select_dlg.h"
#include "setup/ui/proxy_auth_dlg.h"
#include "setup/ui/progress_dlg.h"

namespace zan {

CUIManager::CUIManager(HWND mainWindow, const std::wstring& commandLine,
                       const std::wstring& productName, const std::wstring& productVersion)
    : productName_(productName),
      productVersion_(productVersion),
      commandLine_(commandLine),
      mainWindow_(mainWindow) {
  progress_.reset(new CProgressDlg(this));
  path_.reset(new CPathSelectDlg(this, mainWindow));
  network_.reset(new NetworkSession(mainWindow));
  progress_->Create();
  path_->Create();
}

CUIManager::~CUIManager() = default;


void CUIManager::SetCaptions(const std::wstring& caption) {
  ::SetWindowTextW(progress_->hwnd(), caption.c_str());
  ::SetWindowTextW(path_->hwnd(), caption.c_str());
}

bool CUIManager::GetInfoValue(const std::wstring& key, std::wstring& out) {
  TiXmlElement* element = FindElementByPath(&info_, WideToUtf8(key));
  if (!element) {
    WriteLog(L"get value with tag:%s failed", key.c_str());
    return false;
  }
  out = Utf8ToWide(ElementText(element));
  return true;
}

void CUIManager::Start() {
  WriteLog(L"the Produce name:%s, version: %s", productName_.c_str(), productVersion_.c_str());
  languageCode_ = GetLanguageCode(0);
  // An elevated run shows the program's own texts until the product's
  // language file arrives: the language files beside the program lie in a
  // folder the user may write to.
  if (IsElevatedRun()) {
    strings_.UseBuiltIn();
  } else {
    strings_.SetLanguage(GetModuleFolder(GetLogModule()) + L"language\\", 0);
  }
  // The run that asked for the rights checked for an update already; an
  // elevated run must not start one.
  if (IsElevatedRun()) {
    WriteLog(L"the elevated run leaves the update check to the run before it");
  } else {
    CheckSelfUpdate(ServerBase());
  }
  StartInfoDownload();

  std::wstring caption = strings_.Text(L"language.caption");
  SetCaptions(caption);
  progress_->SetTexts(strings_.Text(L"language.progresstext"), strings_.Text(L"language.steptext"));
  progress_->SetConfirmTexts(strings_.Text(L"language.messagebox"), caption);
  ::SendMessageW(progress_->hwnd(), UM_PROGRESS_MODE, 1, 0);
  ::ShowWindow(progress_->hwnd(), SW_SHOWNORMAL);
  BringToFront(progress_->hwnd());
}

ExpectedDigests CUIManager::PackageDigests() {
  ExpectedDigests digests;
  GetInfoValue(L"soft_info.package.checksum", digests.md5);
  // Optional: quietly absent from documents that predate it.
  if (TiXmlElement* sha256 = FindElementByPath(&info_, "soft_info.package.sha256")) {
    digests.hasSha256 = true;
    digests.sha256 = Utf8ToWide(ElementText(sha256));
  }
  return digests;
}

void CUIManager::StartInfoDownload() {
  const std::vector<std::wstring> bases = SplitServerBases(ServerBase());
  std::wstring url = BuildInfoUrl(bases.empty() ? std::wstring() : bases.front(), productName_, productVersion_);
  WriteLog(L"the Produce url:%s", url.c_str());
  downloadFolder_ = GetDownloadFolder(productName_);
  if (!StartInfoWorker(mainWindow_, url, downloadFolder_, languageCode_, productName_, productVersion_, bases,
                       network_->Ticket(progress_->hwnd()))) {
    WriteLog(L"start the info thread failed");
    ::PostMessageW(mainWindow_, UM_INFO_FAILED, 0, 0);
  }
}

void CUIManager::OnInfoReady(const std::string& text) {
  strings_.SetLanguage(downloadFolder_, 0);
  std::wstring caption = strings_.Text(L"language.caption");
  SetCaptions(caption);
  ParseXmlText(text, info_);
  if (!RightsAllowInstall(caption)) return;
  if (!FolderStepShown()) {
    OnContinue();
    return;
  }
  ShowPathDialog(DefaultInstallFolder());
}

bool CUIManager::RightsAllowInstall(const std::wstring& caption) {
  std::wstring level;
  GetInfoValue(L"soft_info.exec_level", level);
  switch (DecideRights(level, IsAdministrator(), ElevationAttempted())) {
    case RightsDecision::kProceed:
      return true;
    case RightsDecision::kRefuse:
      ::MessageBoxW(progress_->hwnd(), strings_.Text(L"language.authorityerror").c_str(), caption.c_str(),
                    MB_OK);
      break;
    case RightsDecision::kRelaunch:
      StartElevatingLauncher(GetModuleFolder(GetLogModule()) + L"ZanSetupSH.exe", commandLine_);
      break;
  }
  OnCancel();
  return false;
}

// Without the Program Files folder the default keeps its placeholder: the
// user sees it and chooses, where a rootless "\Product" would install
// into whatever the current drive is.
std::wstring CUIManager::ExpandProgramFiles(const std::wstring& folder) {
  if (folder.find(L"%PROGRAMFILES%") == std::wstring::npos) return folder;
  wchar_t programFiles[MAX_PATH] = {};
  HRESULT result = ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, programFiles);
  if (FAILED(result) || !programFiles[0]) {
    WriteLog(L"get the Program Files folder failed, error code: %d", static_cast<int>(result));
    return folder;
  }
  return ReplaceAll(folder, L"%PROGRAMFILES%", programFiles);
}

// A missing element or attribute shows the dialog; text that does not begin
// with a number reads as 0 and skips it.
bool CUIManager::FolderStepShown() {
  TiXmlElement* option = FindElementByPath(&info_, "soft_info.phase.dir_opt");
  const char* show = option ? option->Attribute("show") : nullptr;
  return show ? atoi(show) > 0 : true;
}

std::wstring CUIManager::DefaultInstallFolder() {
  std::wstring folder;
  std::wstring key;
  GetInfoValue(L"soft_info.dir.install.read", key);
  if (!ReadRegistryPathValue(key, folder, IsElevatedRun() ? KeyRoots::kMachineOnly : KeyRoots::kAny)) {
    WriteLog(L"read default path from register key: %s failed", key.c_str());
  }
  if (folder.empty()) {
    GetInfoValue(L"soft_info.dir.install.default", folder);
    folder = ExpandProgramFiles(folder);
  }
  return folder;
}

void CUIManager::ShowPathDialog(const std::wstring& folder) {
  ::ShowWindow(progress_->hwnd(), SW_HIDE);
  path_->SetPath(folder);
  path_->ApplyLanguage(&strings_);
  ::ShowWindow(path_->hwnd(), SW_SHOWNORMAL);
  BringToFront(path_->hwnd());
}

void CUIManager::SetInstallPath(const std::wstring& folder) {
  WriteLog(L"Set instal path: %s", folder.c_str());
  installFolder_ = folder;
}

void CUIManager::OnContinue() {
  if (ended_) return;
  // The product's installer runs with administrator rights and without a
  // word (" /S"): what it leaves where users may write, they could change
  // into what an administrator runs next.
  if (IsElevatedRun() && !installFolder_.empty() && !InstallFolderKeepsUsersOut(installFolder_)) {
    WriteLog(L"the elevated run does not install into a folder that users may change: %s", installFolder_.c_str());
    ShowInstallError();
    return;
  }
  packagePath_ = downloadFolder_ + L"install.exe";
  // Read whether or not a package is there, so a missing checksum is
  // logged on a first download too.
  const ExpectedDigests digests = PackageDigests();
  // A pinned build runs only a package bound to the signed document by its
  // SHA-256; MD5 alone could be matched by a file made to collide.
  if (IsPinnedBuild() && !IsSha256Text(digests.sha256)) {
    WriteLog(L"the install information gives no sha256 for the package");
    ShowInstallError();
    return;
  }
  if (FileExists(packagePath_) && CheckFileDigests(packagePath_, digests)) {
    WriteLog(L"Produce is exist, install");
    OnPackageReady();
    return;
  }
  WriteLog(L"Produce isnot exist, download");
  progress_->SetTexts(strings_.Text(L"language.downloadProduce.progresstext"),
                      strings_.Text(L"language.downloadProduce.steptext"));
  ::PostMessageW(progress_->hwnd(), UM_PROGRESS_MODE, 0, 0);
  ::ShowWindow(progress_->hwnd(), SW_SHOWNORMAL);
  std::wstring url;
  GetInfoValue(L"soft_info.package.url", url);
  StartPackageDownload(url, digests);
}

void CUIManager::OnCancel() {
  if (ended_) return;
  ended_ = true;
  network_->End();
  path_->Destroy();
  progress_->Destroy();
  ::SendMessageW(mainWindow_, WM_CLOSE, 0, 0);
}

void CUIManager::ShowErrorAndEnd(const wchar_t* textKey) {
  ::MessageBoxW(progress_->hwnd(), strings_.Text(textKey).c_str(), strings_.Text(L"language.caption").c_str(),
                MB_OK);
  OnCancel();
}

void CUIManager::OnProxyPrompt(ProxyPrompt& prompt) {
  CProxyAuthDlg dialog(prompt.proxy, prompt.again);
  if (!ended_ && dialog.Run(progress_->hwnd()) && !ended_) {
    prompt.logon.user = dialog.user();
    prompt.logon.password = dialog.password();
    prompt.remember = dialog.remember();
    prompt.answered = true;
  }
  ::SetEvent(prompt.done.get());
}

void CUIManager::ShowInfoError() { ShowErrorAndEnd(L"language.downloadinfoerror"); }
void CUIManager::ShowPackageError() { ShowErrorAndEnd(L"language.downloadprodcueerror"); }
void CUIManager::ShowInstallError() { ShowErrorAndEnd(L"language.installprodcueerror"); }

}  // namespace zan
