// Whether this run may install a product that needs administrator rights.
#pragma once

#include <string>

namespace zan {

// Membership of the current thread's token in the Administrators group.
bool IsAdministrator();

// Marks this process as the protected copy; the entry does, once, before
// the workflow starts.
void SetProtectedCopyRun();
// An elevated run: the protected copy, or a process whose token holds
// administrator power. Decided by the token and the copy, never by the
// command line ("Uac=yes" typed by hand makes no run elevated). Such a run
// leaves the update check to the run before it, reads no text the user's
// files decide, and installs nowhere users could change.
bool IsElevatedRun();

enum class RightsDecision {
  kProceed,   // no requirement, or the rights are there
  kRelaunch,  // start the elevating launcher and end this run
  kRefuse,    // elevation was tried already: report the missing rights
};

RightsDecision DecideRights(const std::wstring& execLevel, bool isAdministrator,
                            bool elevationAttempted);

// Starts the elevating launcher hidden with `parameters`. The product's
// single-instance guard is released first: the elevated run would otherwise
// find it still held by this ending run and take the already-running path.
// The launcher's process is kept for AwaitElevatedRun (elevated_start.h).
void StartElevatingLauncher(const std::wstring& launcher, const std::wstring& parameters);

}  // namespace zan
