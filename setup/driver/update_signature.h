// Whether a downloaded update of the setup program may start. A pinned
// build starts only what a pinned publisher key signed (Authenticode); an
// unpinned build asks no signature of it. Neither starts an update whose
// version block is not newer than its own build (no rollback), or that is
// built for another processor (no change of flavour). A version that the
// publisher's update document withdraws takes any other version, older too.
#pragma once

#include <windows.h>

#include <string>

#include "setup/common/authenticode.h"
#include "setup/common/versions.h"

namespace zan {

// Checks the update at `path`, held open as `file`, against `pins` and logs
// the outcome. True when the update may be started.
bool CheckUpdateSignature(const std::wstring& path, HANDLE file, const PublisherPins& pins);

// True when the update held open as `file` is a program for `running`, the
// processor this program is built for; otherwise logs why not. An update
// never changes the flavour.
bool CheckUpdateMachine(HANDLE file, unsigned running);

// True when the version block of the update held open as `file` is newer
// than `running` or, for a `withdrawn` running version, any other;
// otherwise logs why not.
bool CheckUpdateVersion(HANDLE file, const FileVersion& running, bool withdrawn);

}  // namespace zan
