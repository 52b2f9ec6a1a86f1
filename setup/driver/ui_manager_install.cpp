// CUIManager from the package download to the end of the installer.
#include "ui_manager.h"


#include "conflicts.h"
#include "package_install.h"
#include "setup/common/file_digests.h"
#include "setup/common/files.h"
#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/ui/conflict_dlg.h"
#include "setup/ui/progress_dlg.h"

namespace zan {

void CUIManager::StartPackageDownload(const std::wstring& url, const ExpectedDigests& digests) {
  if (!StartPackageWorker(ReadPackageAddresses(info_, url), packagePath_, progress_->hwnd(), mainWindow_,
                          ReadPackageTransfer(info_), digests, network_->Ticket(progress_->hwnd()))) {
    WriteLog(L"start the package download thread failed");
    ::PostMessageW(mainWindow_, UM_PACKAGE_FAILED, 0, 0);
  }
}

bool CUIManager::CheckConflicts(bool* dialogShown) {
  std::vector<std::wstring> names = CollectConflictNames(info_);
  if (names.empty()) {
    WriteLog(L"No need to close the conflict process.");
    return true;
  }
  std::map<DWORD, std::wstring> found;
  if (!ScanConflictingProcesses(names, installFolder_, ConflictScanMode::kWorkflow, &found) || found.empty()) {
    return true;
  }
  CConflictProcessDlg dialog;
  dialog.Init([&](std::map<DWORD, std::wstring>* scanned) {
    return ScanConflictingProcesses(names, installFolder_, ConflictScanMode::kDialog, scanned);
  }, &strings_);
  dialog.Run();
  *dialogShown = true;
  return !dialog.cancelled();
}

void CUIManager::OnPackageReady() {
  WINDOWPLACEMENT placement = {};
  placement.length = sizeof(placement);
  ::GetWindowPlacement(progress_->hwnd(), &placement);
  UINT showState = placement.showCmd;
  ::ShowWindow(progress_->hwnd(), SW_HIDE);

  bool dialogShown = false;
  if (!CheckConflicts(&dialogShown)) {
    OnCancel();
    return;
  }
  if (dialogShown) showState = SW_SHOWNORMAL;

  progress_->SetTexts(strings_.Text(L"language.installProduce.progresstext"),
                      strings_.Text(L"language.installProduce.steptext"));
  ::SendMessageW(progress_->hwnd(), UM_PROGRESS_MODE, 1, 0);
  progress_->EnableClose(false);
  ShowProgressForInstall(showState);
  if (!InstallPackage(packagePath_)) ShowInstallError();
}

// A dialog the user had put away comes back minimised, topmost and flashing
// rather than taking the focus.
void CUIManager::ShowProgressForInstall(UINT rememberedShowState) {
  HWND window = progress_->hwnd();
  switch (rememberedShowState) {
    case SW_HIDE:
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
    case SW_FORCEMINIMIZE: {
      ::ShowWindow(window, SW_SHOWMINIMIZED);
      ::SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
      FLASHWINFO flash = {sizeof(flash), window, FLASHW_ALL | FLASHW_TIMERNOFG, 10, 0};
      ::FlashWindowEx(&flash);
      break;
    }
    default:
      ::ShowWindow(window, SW_SHOWNORMAL);
      BringToFront(window);
  }
}

bool CUIManager::InstallPackage(const std::wstring& packagePath) {
  if (!FileExists(packagePath)) {
    WriteLog(L"Install Produce failed, path:%s", packagePath.c_str());
    return false;
  }
  std::wstring commandLine = BuildInstallerCommandLine(packagePath, installFolder_);
  return StartCheckedFile(packagePath, PackageDigests(), L"check md5 failed", nullptr, [&] {
    job_.reset(::CreateJobObjectW(nullptr, nullptr));
    WriteLog(L"begin install:%s", commandLine.c_str());
    return StartInstaller(commandLine, job_.get(), mainWindow_);
  });
}

void CUIManager::EndInstall() {
  WriteLog(L"end install");
  ReleaseJobProcesses(job_.get());
  OnCancel();
}

}  // namespace zan
