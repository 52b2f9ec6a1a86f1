// Which web pages may ask the control and the plug-in to install: https
// pages of the hosts the build allows, and of hosts below them.
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

// What a build lets pages do: its allowed sites, the host of its download
// server, and whether it is a development build (one that pins no
// publisher key).
struct PagePolicy {
  std::wstring allowedSites;
  std::wstring serverHost;
  bool development = false;
};

// Why the page at `url` (an address or a document's origin) may not ask for
// an install, or empty when it may: an https page of an allowed site may; a
// development build also takes an http page of its server's own host, as a
// test server serves it. The refusal names the address.
std::wstring PageAddressRefusal(const std::wstring& url, const PagePolicy& policy);

// An address fit for a log line: control characters as "?", and cut after
// 300 characters, for the address comes from a page.
std::wstring LoggableAddress(const std::wstring& url);

}  // namespace zan
