// A "zansetup:" link, as a browser hands it to the program registered for
// the scheme: zansetup://install?app=NAME&ver=VERSION. Any web page can send
// one, so only that exact form is taken and everything else is refused.
#pragma once

#include <string>

namespace zan {

// The longest link taken, in characters.
constexpr size_t kMaxInstallLinkLength = 2048;

struct InstallLink {
  std::wstring product;
  std::wstring version;  // empty when the link names none
};

// Whether a trimmed command line is meant as a link: it begins, after an
// optional quote, with "zansetup:" in any letter case. Such a line is either
// taken as a link or refused; it is never read as key=value arguments.
bool IsInstallLinkLine(const std::wstring& trimmedLine);

// Takes the product and version from a link line (quoted or not). On refusal
// returns false and says why in `reason`, without repeating the link's
// values.
bool ParseInstallLink(const std::wstring& trimmedLine, InstallLink* link, std::wstring* reason);

// The command line the link stands for: "App=NAME", with " Ver=VERSION"
// when it names a version.
std::wstring InstallLinkArguments(const InstallLink& link);

// A link line rewritten into the arguments it stands for, so that nothing
// else of it reaches the argument table or, through a restart with more
// rights, the elevated run; any other line stays as it is. False, with its
// log line, when the link is refused.
bool TakeInstallLink(std::wstring* line);

}  // namespace zan
