// What the program was built with: its download server, the keys of its
// publisher and its own version. Each program built links an object of its
// own with these (see setup/CMakeLists.txt), so test variants differ only
// here.
#pragma once

#include "publisher_signature.h"
#include "versions.h"

namespace zan {

// Scheme, host and port, without a trailing "/".
const wchar_t* ServerBase();

// The pinned publisher keys; empty in an unpinned build, which takes
// documents and updates unsigned, as the server gives them.
const PublisherPins& BuildPins();
inline bool IsPinnedBuild() { return !BuildPins().empty(); }

// The path of this flavour's update document, from "/".
const wchar_t* UpdateDocumentPath();

// The build's version, as its own version block carries it.
FileVersion BuildVersion();

}  // namespace zan
