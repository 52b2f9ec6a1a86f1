// The download server's base address, fixed when the program is built.
#pragma once

namespace zan {

// Scheme, host and port, without a trailing "/". Each program built links
// the value of its own (see setup/CMakeLists.txt).
const wchar_t* ServerBase();

}  // namespace zan
