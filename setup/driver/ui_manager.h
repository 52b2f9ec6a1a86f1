// CUIManager: the controller of one setup run. It walks the phases on the
// main thread; workers report back through messages to the main dialog,
// which hands each to the call named below it.
//
//   1 Start            update check, info worker; busy progress dialog
//       UM_INFO_READY -> OnInfoReady        UM_INFO_FAILED -> ShowInfoError
//   2 OnInfoReady      language, rights; the folder dialog, or on to 4
//       UM_PATH_CHOSEN -> SetInstallPath (sent by the folder dialog)
//   3 folder dialog    Next -> OnContinue; Cancel -> OnCancel
//   4 OnContinue       a kept package that passes its digests goes to 5;
//                      else the package worker
//       UM_PACKAGE_READY -> OnPackageReady  UM_PACKAGE_FAILED -> ShowPackageError
//   5 OnPackageReady   conflicting programs, then the checked installer
//       UM_INSTALL_DONE -> EndInstall       UM_INSTALL_FAILED -> ShowInstallError
//   6 EndInstall       the installer's processes are let go
//
// Every run ends in OnCancel, which closes the main dialog: after 6, after
// an error message, when the user cancels a dialog, when the rights refuse
// the product, or when an elevated run takes over. Messages that arrive
// after that are dropped.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include <tinyxml.h>

#include "network_session.h"
#include "setup/ui/messages.h"
#include "setup/common/file_digests.h"
#include "setup/common/handles.h"
#include "setup/ui/i18n.h"

namespace zan {

class CProgressDlg;
class CPathSelectDlg;

class CUIManager : public IDownloadCallback {
 public:
  CUIManager(HWND mainWindow, const std::wstring& commandLine, const std::wstring& productName,
             const std::wstring& productVersion);
  virtual ~CUIManager();
  CUIManager(const CUIManager&) = delete;
  CUIManager& operator=(const CUIManager&) = delete;

  void Start();                                // phase 1
  void OnInfoReady(const std::string& text);   // phase 2
  void SetInstallPath(const std::wstring& folder);  // phase 3
  void OnContinue() override;                  // phase 4
  void OnPackageReady();                       // phase 5
  void EndInstall();                           // phase 6
  void OnCancel() override;
  // True once OnCancel has begun: later results of workers and dialogs
  // (a queued package-ready, a failure, the installer's end) do nothing.
  bool HasEnded() const { return ended_; }

  void ShowInfoError();
  void ShowPackageError();
  void ShowInstallError();
  // A worker's request needs proxy credentials: the user is asked in a
  // dialog of ours, and the prompt's event tells the worker.
  void OnProxyPrompt(ProxyPrompt& prompt);

  // Reads a text of the install-information document; logs a missing key.
  bool GetInfoValue(const std::wstring& key, std::wstring& out);
  // What the package must hash to: "soft_info.package.checksum", and
  // "soft_info.package.sha256" when the document has one.
  ExpectedDigests PackageDigests();

 private:
  void SetCaptions(const std::wstring& caption);
  void StartInfoDownload();
  bool RightsAllowInstall(const std::wstring& caption);
  bool FolderStepShown();
  std::wstring DefaultInstallFolder();
  static std::wstring ExpandProgramFiles(const std::wstring& folder);
  void ShowPathDialog(const std::wstring& folder);
  void StartPackageDownload(const std::wstring& url, const ExpectedDigests& digests);
  bool CheckConflicts(bool* dialogShown);
  void ShowProgressForInstall(UINT rememberedShowState);
  bool InstallPackage(const std::wstring& packagePath);
  void ShowErrorAndEnd(const wchar_t* textKey);

  std::unique_ptr<CProgressDlg> progress_;
  std::unique_ptr<CPathSelectDlg> path_;
  // Ends every wait and download of the workers when the run ends.
  std::unique_ptr<NetworkSession> network_;
  CI18N strings_;
  TiXmlDocument info_;
  std::wstring productName_;
  std::wstring productVersion_;
  std::wstring commandLine_;
  std::wstring packagePath_;
  std::wstring languageCode_;
  std::wstring installFolder_;
  std::wstring downloadFolder_;
  HWND mainWindow_;
  ScopedHandle job_;
  bool ended_ = false;
};

}  // namespace zan
