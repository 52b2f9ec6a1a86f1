// Where our modules lie, and the few questions about files and folders that
// every floor asks.
#pragma once

#include <windows.h>

#include <string>

namespace zan {

// The full path of `module` (null: the program), however long; empty when
// it cannot be had.
std::wstring ModuleFilePath(HMODULE module);

// Folder of a module's file, ending in its separator; "\" and "/" both count
// and the later one wins. Empty when the name holds neither.
std::wstring GetModuleFolder(HMODULE module);
std::wstring FolderOfPath(const std::wstring& path);

// True when a file or folder of that name exists.
bool FileExists(const std::wstring& path);

// Makes `folder` (its parent must exist) unless it is there; true when it
// is there afterwards.
bool EnsureFolder(const std::wstring& folder);

}  // namespace zan
