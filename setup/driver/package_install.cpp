#include "package_install.h"

#include <memory>

#include "setup/ui/messages.h"
#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/start_program.h"
#include "setup/http/http_fetch_file.h"
#include "setup/common/worker.h"

namespace zan {
namespace {

struct PackageJob {
  std::vector<std::wstring> addresses;
  std::wstring packagePath;
  HWND progressWindow;
  HWND mainWindow;
  PackageTransfer transfer;
  ExpectedDigests digests;
  NetworkTicket ticket;
};

void RemovePackageFiles(const std::wstring& path) {
  for (const wchar_t* suffix : {L"", L".tmp", L".size"}) ::DeleteFileW((path + suffix).c_str());
}

// Blocks from several servers make one file, and its digests judge it: a
// file that fails them is fetched whole once more from one server.
HRESULT DownloadPackage(const PackageJob& job) {
  const NetworkRun run = job.ticket.MakeRun();
  CHttpFetchFile fetch;
  fetch.set_run(&run);
  fetch.set_transfer(job.transfer.span, job.transfer.workers);
  DownloadRequest request;
  request.addresses = job.addresses;
  request.path = job.packagePath;
  const UINT_PTR user = reinterpret_cast<UINT_PTR>(job.progressWindow);
  HRESULT result = fetch.Download(request, DownloadProgressProc, user);
  if (result != S_OK || !fetch.mixed_sources() || CheckFileDigests(job.packagePath, job.digests)) return result;
  WriteLog(L"the package's blocks came from several servers and fail its digests: fetching it whole from one server");
  RemovePackageFiles(job.packagePath);
  request.oneServer = true;
  return fetch.Download(request, DownloadProgressProc, user);
}

struct WaitJob {
  ScopedHandle process;
  HWND mainWindow;
};

unsigned __stdcall PackageWorker(void* param) {
  std::unique_ptr<PackageJob> job = TakeBlock<PackageJob>(param);
  HRESULT result = E_FAIL;
  RunGuarded(L"the package download", [&] { result = DownloadPackage(*job); });
  if (result == E_ABORT && IsSignalled(job->ticket.cancel.get())) {
    WriteLog(L"the package download ended with the run");
    return 0;
  }
  if (result != S_OK) {
    WriteLog(L"DownloadFile failed, URL:%s, path:%s", job->addresses.front().c_str(), job->packagePath.c_str());
    ::PostMessageW(job->mainWindow, UM_PACKAGE_FAILED, 0, 0);
  } else {
    ::PostMessageW(job->mainWindow, UM_PACKAGE_READY, 0, 0);
  }
  return 0;
}

unsigned __stdcall InstallerWaiter(void* param) {
  std::unique_ptr<WaitJob> job = TakeBlock<WaitJob>(param);
  ::WaitForSingleObject(job->process.get(), INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(job->process.get(), &code);
  if (code == 0) {
    ::PostMessageW(job->mainWindow, UM_INSTALL_DONE, 0, 0);
  } else {
    WriteLog(L"install process exit with error code %d", static_cast<int>(code));
    ::PostMessageW(job->mainWindow, UM_INSTALL_FAILED, 0, 0);
  }
  return 0;
}

bool SetJobLimits(HANDLE job, DWORD limitFlags) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = limitFlags;
  return ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
}

}  // namespace

int __stdcall DownloadProgressProc(UINT_PTR context, int event, int value) {
  HWND dialog = reinterpret_cast<HWND>(context);
  if (event == 0) ::PostMessageW(dialog, UM_PROGRESS_TOTAL, static_cast<WPARAM>(value), 0);
  if (event == 1) ::PostMessageW(dialog, UM_PROGRESS_POSITION, static_cast<WPARAM>(value), 0);
  return 1;
}

std::wstring BuildInstallerCommandLine(const std::wstring& packagePath,
                                       const std::wstring& installFolder) {
  std::wstring line = L"\"" + packagePath + L"\" /S";
  if (!installFolder.empty()) line += L" /D=" + installFolder;
  return line;
}

bool StartPackageWorker(const std::vector<std::wstring>& addresses, const std::wstring& packagePath,
                        HWND progressWindow, HWND mainWindow, const PackageTransfer& transfer,
                        const ExpectedDigests& digests, NetworkTicket ticket) {
  if (addresses.empty()) return false;
  std::unique_ptr<PackageJob> job(new PackageJob{addresses, packagePath, progressWindow, mainWindow, transfer,
                                                 digests, std::move(ticket)});
  return StartWorker(PackageWorker, std::move(job));
}

ScopedFile OpenPackageForInstall(const std::wstring& packagePath) {
  return ScopedFile(::CreateFileW(packagePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool StartCheckedFile(const std::wstring& path, const ExpectedDigests& digests, const wchar_t* digestFailed,
                      const std::function<bool(HANDLE file)>& check, const std::function<bool()>& start) {
  ScopedFile file = OpenPackageForInstall(path);
  if (!file || !CheckFileDigests(file.get(), digests)) {
    WriteLog(L"%s", digestFailed);
    return false;
  }
  if (check && !check(file.get())) return false;
  return start();
}

bool ResumeInstaller(HANDLE process, HANDLE thread) {
  if (::ResumeThread(thread) != static_cast<DWORD>(-1)) return true;
  WriteLog(L"Resume install process failed, error code: %d", static_cast<int>(::GetLastError()));
  ::TerminateProcess(process, 1);
  return false;
}

bool StartInstaller(const std::wstring& commandLine, HANDLE job, HWND mainWindow) {
  PROCESS_INFORMATION info;
  if (!StartProgram(commandLine, CREATE_SUSPENDED, 0, &info)) {
    WriteLog(L"Start to run install process failed, error code: %d", static_cast<int>(::GetLastError()));
    return false;
  }
  ScopedHandle process(info.hProcess);
  ScopedHandle thread(info.hThread);
  // Joined before it runs a single instruction, so nothing it starts escapes
  // the job except by breakaway.
  if (job && SetJobLimits(job, JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK)) {
    ::AssignProcessToJobObject(job, process.get());
  }
  if (!ResumeInstaller(process.get(), thread.get())) return false;
  std::unique_ptr<WaitJob> wait(new WaitJob{std::move(process), mainWindow});
  if (!StartWorker(InstallerWaiter, std::move(wait))) {
    WriteLog(L"start the install wait thread failed");
    return false;
  }
  return true;
}

void ReleaseJobProcesses(HANDLE job) {
  if (!job) return;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  if (!::QueryInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits),
                                   nullptr)) {
    return;
  }
  limits.BasicLimitInformation.LimitFlags &= ~JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
}

}  // namespace zan
