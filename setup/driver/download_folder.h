// The per-product download folder beside the program's folder.
#pragma once

#include <string>

namespace zan {

// The parent of `programFolder` with "download\" and `name` and "\" appended;
// a program in a drive's root gets "download" in that root.
std::wstring DownloadFolderPath(const std::wstring& programFolder, const std::wstring& name);

// As above for the running program, creating both folder levels on demand.
std::wstring GetDownloadFolder(const std::wstring& name);

}  // namespace zan
