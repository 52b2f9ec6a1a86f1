// Versions as publishers write them, and as version blocks carry them; the
// processor a program is built for, as its file header gives it.
#pragma once

#include <windows.h>

#include <string>

namespace zan {

// Below zero, zero or above zero as `a` is older than, the same as or newer
// than `b`. Two texts of dot-separated decimal numbers compare number by
// number, a missing number counting as 0 ("1.10" after "1.9", "1.0" the
// same as "1"); any other pair compares as text, ignoring letter case.
int CompareVersions(const std::wstring& a, const std::wstring& b);

// The four numbers of a version block's fixed file version, most
// significant first.
struct FileVersion {
  unsigned short part[4] = {0, 0, 0, 0};
};

bool IsNewer(const FileVersion& a, const FileVersion& b);
// "1.2.3.4"
std::wstring VersionText(const FileVersion& version);

// The fixed file version of the program held open as `file` (read access),
// read through that handle: a file that cannot change while it is held.
// False for anything that is no program with a version block, however
// broken or short.
bool ReadFileVersion(HANDLE file, FileVersion* version);

// The machine field of the program held open as `file` (IMAGE_FILE_MACHINE_*:
// 0x014c for 32-bit x86, 0x8664 for x86-64), read through that handle. False
// for anything that is no program.
bool ReadFileMachine(HANDLE file, unsigned* machine);

// The machine field of the running program's own image.
unsigned RunningMachine();

}  // namespace zan
