// Programs of the product that must not run from the install folder while
// its installer runs.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

class TiXmlDocument;

namespace zan {

// The texts of the "process" children of soft_info's "conflict" element.
std::vector<std::wstring> CollectConflictNames(TiXmlDocument& info);

// The folder of a module path: the text before its last "\" (empty without).
std::wstring ModuleFolderOf(const std::wstring& modulePath);

// The folder of a running program against the install folder, ignoring case
// and as written (a trailing "\" makes a difference). No folder was chosen
// when the folder step was skipped: then nothing runs "from" it.
bool RunsFromInstallFolder(const std::wstring& processFolder, const std::wstring& installFolder);

enum class ConflictScanMode {
  // The workflow's check: each failure and each same-named process
  // elsewhere is logged.
  kWorkflow,
  // The dialog's scans: silent on failures; each conflicting process is
  // logged as it is found, name by name through the process list.
  kDialog,
};

// Adds to `found` the running processes with one of `names` whose program
// lies directly in `installFolder` (both compared ignoring case), by process
// id; ids already there are passed over. False when the process list could
// not be read.
bool ScanConflictingProcesses(const std::vector<std::wstring>& names,
                              const std::wstring& installFolder, ConflictScanMode mode,
                              std::map<DWORD, std::wstring>* found);

}  // namespace zan
