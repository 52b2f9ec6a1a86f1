// The per-product single-instance guard: a named event that one run of the
// setup program holds for a product name.
#pragma once

#include <string>

namespace zan {

enum class GuardResult {
  kTaken,           // this run holds the guard now
  kAlreadyRunning,  // another run holds it
  kUnavailable,     // no event could be made: the run goes on unguarded
};

// Creates the event named `name` and keeps it for the process.
GuardResult AcquireInstanceGuard(const std::wstring& name);

// Lets a new run take the guard: at the end of the run, and before this run
// starts its own successor (the elevated one), which must not find it held.
void ReleaseInstanceGuard();

}  // namespace zan
