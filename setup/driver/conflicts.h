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

// Running processes with one of `names` whose program lies directly in
// `installFolder` (both compared ignoring case), by process id. False when
// the process list could not be read. `logMismatch` writes the line for a
// same-named process elsewhere.
bool ScanConflictingProcesses(const std::vector<std::wstring>& names,
                              const std::wstring& installFolder, bool logMismatch,
                              std::map<DWORD, std::wstring>* found);

}  // namespace zan
