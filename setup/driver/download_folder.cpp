#include "download_folder.h"

#include <windows.h>

#include "setup/common/files.h"
#include "setup/common/log.h"

namespace zan {
namespace {

// "download\" in the parent of the program's folder.
std::wstring DownloadRootPath(const std::wstring& programFolder) {
  std::wstring folder = programFolder;
  while (!folder.empty() && folder[folder.size() - 1] == L'\\') folder.erase(folder.size() - 1);
  size_t cut = folder.find_last_of(L'\\');
  if (cut != std::wstring::npos && cut != 0) folder.erase(cut);
  return folder + L"\\download\\";
}

}  // namespace

std::wstring DownloadFolderPath(const std::wstring& programFolder, const std::wstring& name) {
  return DownloadRootPath(programFolder) + name + L"\\";
}

std::wstring GetDownloadFolder(const std::wstring& name) {
  std::wstring programFolder = GetModuleFolder(GetLogModule());
  std::wstring folder = DownloadFolderPath(programFolder, name);
  // What is then written there fails with lines of its own; this one says why.
  if (!EnsureFolder(DownloadRootPath(programFolder)) || !EnsureFolder(folder)) {
    WriteLog(L"the download folder could not be made: %s, error code: %d", folder.c_str(),
             static_cast<int>(::GetLastError()));
  }
  return folder;
}

}  // namespace zan
