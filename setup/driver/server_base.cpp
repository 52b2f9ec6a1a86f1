#include "server_base.h"

namespace zan {

const wchar_t* ServerBase() { return ZANSETUP_SERVER_BASE_TEXT; }

}  // namespace zan
