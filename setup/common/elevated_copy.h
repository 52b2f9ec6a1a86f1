// The copy of the setup program that the elevated run starts. The program
// folder the user installed into is the user's own: another program running
// as that user could plant a DLL, a junction or another program there. So
// the elevated launcher copies the setup program into a folder that only
// SYSTEM and Administrators may change, below the system's temporary folder
// (whose subfolders a standard user can neither rename nor delete), runs the
// copy there and removes the folder afterwards.
#pragma once

#include <windows.h>

#include <string>

#include "setup/common/handles.h"

namespace zan {

class ElevatedCopy {
 public:
  ElevatedCopy() = default;
  ~ElevatedCopy();  // removes the folder, unless something in it is still in use
  ElevatedCopy(const ElevatedCopy&) = delete;
  ElevatedCopy& operator=(const ElevatedCopy&) = delete;

  // Makes the protected folder with a name of its own and copies
  // ZanSetup.exe from `sourceFolder` (ending in "\") into its "ZanSetup"
  // subfolder; nothing else of that folder. False when any step failed.
  bool Make(const std::wstring& sourceFolder);

  // The copy's folder, ending in "\"; downloads go beside it, inside the
  // protected folder too.
  const std::wstring& programFolder() const { return programFolder_; }
  // The protected folder, ending in "\", and its owner and access rules as
  // this system keeps them (empty when not made).
  const std::wstring& root() const { return root_; }
  std::wstring rules() const;

 private:
  std::wstring root_;
  std::wstring programFolder_;
  // Held open, unshared, while the copy runs: a later launcher that finds it
  // locked leaves this folder alone.
  ScopedFile lock_;
};

// The folder the copies are made in: the system's temporary folder.
std::wstring ElevatedCopiesParent();

// Removes the copies that earlier runs left behind (their program still in
// use then), except those whose launcher still runs, and anything that does
// not carry exactly the owner and access rules of `own`, the copy this
// launcher made (logged, and left alone).
void RemoveLeftoverCopies(const ElevatedCopy& own);

// Whether `program` (a full path) is the setup program of a protected copy:
// "ZanSetup.exe" in the "ZanSetup" subfolder of a copy's folder in the
// system's temporary folder, and that folder carries exactly the owner and
// access rules that such a folder is made with, which a standard user cannot
// give a folder.
bool IsProtectedCopyProgram(const std::wstring& program);

// Removes `folder` and everything below it through handles that never
// follow a junction or a link; a link met on the way is left alone (logged),
// and so is a read-only file with another name elsewhere, and with them
// the folders above.
bool RemoveTree(const std::wstring& folder);

}  // namespace zan
