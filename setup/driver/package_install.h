// The package: its download worker, the installer's command line, and the
// thread that waits for the installer.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "setup/common/file_digests.h"
#include "setup/common/handles.h"
#include "network_session.h"
#include "package_transfer.h"

namespace zan {

// The package path, " /S", and " /D=" with the folder only when one was chosen.
// The program path is quoted so that a path with blanks cannot start another
// program; " /D=" stays last and unquoted, as installers expect.
std::wstring BuildInstallerCommandLine(const std::wstring& packagePath,
                                       const std::wstring& installFolder);

// Progress function of the package download: event 0 is the total, event 1
// the amount so far; both go to the progress dialog `context` as posts.
int __stdcall DownloadProgressProc(UINT_PTR context, int event, int value);

// Downloads the package from `addresses` (its address, then its mirrors)
// to `packagePath` on a worker, as `transfer` says, trying again through
// transient failures under `ticket`'s run; progress and waits go to
// `progressWindow`, the result (UM_PACKAGE_READY / UM_PACKAGE_FAILED) to
// `mainWindow`, nothing when the run was cancelled. A file made of several
// servers' blocks that fails `digests` is fetched whole once more from one
// server. False when no thread could be started.
bool StartPackageWorker(const std::vector<std::wstring>& addresses, const std::wstring& packagePath,
                        HWND progressWindow, HWND mainWindow, const PackageTransfer& transfer,
                        const ExpectedDigests& digests, NetworkTicket ticket);

// Opens the package for reading with read sharing only: while the handle is
// held nothing can write, replace or rename the file, and the installer can
// still be started from it.
ScopedFile OpenPackageForInstall(const std::wstring& packagePath);

// The one way a downloaded program is started, the product's installer or
// an update of the setup program: the file is held open from the digest
// check until `start` has made its process, so what was checked is what
// runs. `check` (may be empty) judges the held file further, a signature
// or a version. A digest that does not match logs `digestFailed`.
bool StartCheckedFile(const std::wstring& path, const ExpectedDigests& digests, const wchar_t* digestFailed,
                      const std::function<bool(HANDLE file)>& check, const std::function<bool()>& start);

// Resumes the suspended installer; when that fails the installer is ended
// (logged), since a process that never runs would be waited for forever.
bool ResumeInstaller(HANDLE process, HANDLE thread);

// Starts the installer suspended, puts it into `job` (kill-on-close with
// breakaway) and resumes it; a wait thread then posts UM_INSTALL_DONE or
// UM_INSTALL_FAILED. False (with its log line) when it could not be started.
bool StartInstaller(const std::wstring& commandLine, HANDLE job, HWND mainWindow);

// Lets processes the installer left in the job outlive the setup program.
void ReleaseJobProcesses(HANDLE job);

}  // namespace zan
