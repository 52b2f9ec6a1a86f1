// How the package download uses the line: the publisher's opt-in for long
// ranged requests and more connections, read from the install information.
#pragma once

#include <string>
#include <vector>

#include "setup/http/http_fetch_file.h"

class TiXmlDocument;

namespace zan {

struct PackageTransfer {
  // Blocks one request may cover, and connections of the worker path.
  unsigned span = 1;
  unsigned workers = CHttpFetchFile::kWorkers;
};

// "soft_info.package.span" (1 to 1024) and "soft_info.package.workers" (1 to
// 8). An absent element leaves the default unsaid; a malformed or
// out-of-range one is logged and leaves the default too.
PackageTransfer ReadPackageTransfer(TiXmlDocument& info);

// "soft_info.package.url" followed by every "soft_info.package.mirror" in
// document order; mirrors that are empty or repeat an earlier address are
// left out.
std::vector<std::wstring> ReadPackageAddresses(TiXmlDocument& info, const std::wstring& url);

}  // namespace zan
