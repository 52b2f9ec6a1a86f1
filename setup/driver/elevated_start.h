// A run with administrator rights never works from the user's folders:
// it runs the protected copy instead (protected_run.h), and a run that asks
// for the rights waits for that copy and takes its log into its own.
#pragma once

#include <windows.h>

#include <string>

namespace zan {

// For a run whose token holds administrator power and that is not the
// protected copy: runs that copy with `line` and returns its exit code, or
// refuses with a log line and a box and returns 0.
int RunFromProtectedCopy(HINSTANCE instance, const std::wstring& line);

// Notes how far the account's protected log reaches, before the launcher
// starts; then keeps the started launcher's process.
void NoteElevatedLogStart();
void KeepElevatedRun(HANDLE launcher);

// After this run's own work: waits for the launcher kept above, if any, and
// appends what the elevated run logged meanwhile to this run's log.
void AwaitElevatedRun();

}  // namespace zan
