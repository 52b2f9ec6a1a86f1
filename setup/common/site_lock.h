// Which web pages may ask the control and the plug-in to install: those of
// the hosts the build allows, and of hosts below them.
#pragma once

#include <string>
#include <vector>

namespace zan {

// The host of an http or https address, lower-cased, without user name,
// port or a final dot; empty for any other address. A backslash ends the
// host as a slash does, as browsers read it.
std::wstring UrlHost(const std::wstring& url);

// The hosts of a list separated by ";" or ",": trimmed, lower-cased,
// without a leading dot, empty entries left out.
std::vector<std::wstring> AllowedHostList(const std::wstring& allowed);

// Whether `host` is one of the hosts in `allowed` (separated by ";" or ",")
// or below one of them ("www.corvela.com" below "corvela.com"). An empty
// host is never allowed.
bool IsAllowedHost(const std::wstring& host, const std::wstring& allowed);

}  // namespace zan
