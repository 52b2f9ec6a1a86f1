#include "conflicts.h"

#include <tlhelp32.h>
#include <psapi.h>

#include <tinyxml.h>

#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"
#include "setup/common/xml_document.h"

namespace zan {
namespace {

struct ProcessEntry {
  DWORD id;
  std::wstring exeName;
};

bool ListProcesses(bool logFailures, std::vector<ProcessEntry>* processes) {
  ScopedFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) {
    if (logFailures) {
      WriteLog(L"CreateToolhelp32Snapshot fail with error code: %d", static_cast<int>(::GetLastError()));
    }
    return false;
  }
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  if (!::Process32FirstW(snapshot.get(), &entry)) {
    if (logFailures) WriteLog(L"find first process fail with error code: %d", static_cast<int>(::GetLastError()));
    return false;
  }
  do {
    processes->push_back(ProcessEntry{entry.th32ProcessID, entry.szExeFile});
  } while (::Process32NextW(snapshot.get(), &entry));
  return true;
}

// False (logged, if asked) when the process cannot be opened or its
// program's path not read: a process whose folder is unknown is never taken
// for one that runs from the install folder.
bool ProcessFolder(DWORD id, bool logFailures, std::wstring* folder) {
  ScopedHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id));
  if (!process) {
    if (logFailures) {
      WriteLog(L"open process id %d fail with error code: %d", static_cast<int>(id),
               static_cast<int>(::GetLastError()));
    }
    return false;
  }
  wchar_t path[MAX_PATH] = {};
  if (::GetModuleFileNameExW(process.get(), nullptr, path, MAX_PATH) == 0) {
    if (logFailures) {
      WriteLog(L"read the path of process id %d fail with error code: %d", static_cast<int>(id),
               static_cast<int>(::GetLastError()));
    }
    return false;
  }
  *folder = ModuleFolderOf(path);
  return true;
}

}  // namespace

std::vector<std::wstring> CollectConflictNames(TiXmlDocument& info) {
  std::vector<std::wstring> names;
  TiXmlElement* conflict = FindElementByPath(&info, "soft_info.conflict");
  ChildElementTable children;
  if (!CollectChildElements(conflict, children)) return names;
  auto range = children.equal_range("process");
  for (auto it = range.first; it != range.second; ++it) {
    names.push_back(Utf8ToWide(ElementText(it->second)));
  }
  return names;
}

bool RunsFromInstallFolder(const std::wstring& processFolder, const std::wstring& installFolder) {
  return !installFolder.empty() && EqualsIgnoreCase(processFolder, installFolder);
}

std::wstring ModuleFolderOf(const std::wstring& modulePath) {
  size_t cut = modulePath.rfind(L'\\');
  return cut == std::wstring::npos ? std::wstring() : modulePath.substr(0, cut);
}

bool ScanConflictingProcesses(const std::vector<std::wstring>& names,
                              const std::wstring& installFolder, ConflictScanMode mode,
                              std::map<DWORD, std::wstring>* found) {
  const bool workflow = mode == ConflictScanMode::kWorkflow;
  std::vector<ProcessEntry> processes;
  if (!ListProcesses(workflow, &processes)) return false;
  for (const std::wstring& name : names) {
    for (const ProcessEntry& process : processes) {
      if (!EqualsIgnoreCase(process.exeName, name)) continue;
      std::wstring folder;
      if (!ProcessFolder(process.id, workflow, &folder)) continue;
      if (RunsFromInstallFolder(folder, installFolder)) {
        if (found->count(process.id)) continue;
        if (!workflow) {
          WriteLog(L"Get conflict process name:%s, process id:%d", process.exeName.c_str(),
                   static_cast<int>(process.id));
        }
        (*found)[process.id] = process.exeName;
      } else if (workflow) {
        WriteLog(L"same process name: %s; but different path: %s; the expected path: %s",
                 process.exeName.c_str(), folder.c_str(), installFolder.c_str());
      }
    }
  }
  return true;
}

}  // namespace zan
