#include "install_link.h"

#include <cwchar>
#include <cwctype>
#include <string>

#include "command_line.h"
#include "setup/common/log.h"
#include "setup/common/product_values.h"
#include "setup/common/string_util.h"

namespace zan {
namespace {

const wchar_t kScheme[] = L"zansetup:";
const wchar_t kAction[] = L"//install";

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// What a page may write unescaped in the query: the unreserved characters,
// the few that encodeURIComponent leaves alone, and the query's own syntax.
bool IsPlainQueryCharacter(wchar_t c) {
  if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9')) return true;
  return std::wstring(L"-._~!()&=%").find(c) != std::wstring::npos;
}

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool PercentDecode(const std::wstring& text, std::string* bytes) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'%') {
      bytes->push_back(static_cast<char>(text[i]));
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int high = HexValue(text[i + 1]);
    int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return true;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF and
// no cut-off sequence, so one text has exactly one spelling.
bool DecodeUtf8(const std::string& bytes, std::wstring* text) {
  for (size_t i = 0; i < bytes.size();) {
    unsigned char lead = static_cast<unsigned char>(bytes[i]);
    int extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2
              : (lead & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || i + extra >= bytes.size()) return false;
    unsigned long code = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    static const unsigned long kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    if (code >= 0x10000) {
      code -= 0x10000;
      text->push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
      text->push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
    } else {
      text->push_back(static_cast<wchar_t>(code));
    }
    i += extra + 1;
  }
  return true;
}

bool Refuse(std::wstring* reason, const std::wstring& why) {
  *reason = why;
  return false;
}

// The link without its quotes; false when the quotes do not pair up.
bool Unquote(const std::wstring& line, std::wstring* link) {
  std::wstring inner = line;
  if (!inner.empty() && inner[0] == L'"') {
    if (inner.size() < 2 || inner[inner.size() - 1] != L'"') return false;
    inner = inner.substr(1, inner.size() - 2);
  }
  if (inner.find(L'"') != std::wstring::npos) return false;
  *link = inner;
  return true;
}

// One "key=value" of the query into `link`.
bool TakePair(const std::wstring& pair, InstallLink* link, bool* seenApp, bool* seenVer,
              std::wstring* reason) {
  size_t equals = pair.find(L'=');
  if (equals == std::wstring::npos) return Refuse(reason, L"a part of the query is not key=value");
  std::wstring key = pair.substr(0, equals);
  bool isApp = key == L"app";
  if (!isApp && key != L"ver") return Refuse(reason, L"the key \"" + key + L"\" is not allowed");
  bool* seen = isApp ? seenApp : seenVer;
  if (*seen) return Refuse(reason, L"the key \"" + key + L"\" appears twice");
  *seen = true;
  std::string bytes;
  if (!PercentDecode(pair.substr(equals + 1), &bytes)) return Refuse(reason, L"a percent escape is broken");
  std::wstring value;
  if (!DecodeUtf8(bytes, &value)) return Refuse(reason, L"a value is not valid UTF-8");
  if (!IsUsableProductValue(value)) {
    return Refuse(reason, isApp ? L"the product name is not usable" : L"the product version is not usable");
  }
  (isApp ? link->product : link->version) = value;
  return true;
}

bool ParseQuery(const std::wstring& query, InstallLink* link, std::wstring* reason) {
  for (wchar_t c : query) {
    if (!IsPlainQueryCharacter(c)) return Refuse(reason, L"it has a character that is not allowed");
  }
  bool seenApp = false, seenVer = false;
  size_t pos = 0;
  while (true) {
    size_t end = query.find(L'&', pos);
    if (end == std::wstring::npos) end = query.size();
    if (!TakePair(query.substr(pos, end - pos), link, &seenApp, &seenVer, reason)) return false;
    if (end == query.size()) break;
    pos = end + 1;
  }
  if (!seenApp) return Refuse(reason, L"it names no product");
  return true;
}

}  // namespace

bool IsInstallLinkLine(const std::wstring& trimmedLine) {
  size_t start = !trimmedLine.empty() && trimmedLine[0] == L'"' ? 1 : 0;
  return EqualsIgnoreCase(trimmedLine.substr(start, wcslen(kScheme)), kScheme);
}

bool ParseInstallLink(const std::wstring& trimmedLine, InstallLink* link, std::wstring* reason) {
  std::wstring text;
  if (!Unquote(trimmedLine, &text)) return Refuse(reason, L"its quotes do not pair up");
  if (text.size() > kMaxInstallLinkLength) return Refuse(reason, L"it is longer than 2048 characters");
  if (!StartsWith(text, kScheme)) return Refuse(reason, L"the scheme is not \"zansetup\"");
  std::wstring rest = text.substr(wcslen(kScheme));
  if (!StartsWith(rest, kAction)) return Refuse(reason, L"the action is not \"install\"");
  rest = rest.substr(wcslen(kAction));
  // Some browsers add a slash after the host part.
  if (StartsWith(rest, L"/")) rest = rest.substr(1);
  if (rest.empty()) return Refuse(reason, L"it names no product");
  if (rest[0] != L'?') return Refuse(reason, L"the action is not \"install\"");
  InstallLink parsed;
  if (!ParseQuery(rest.substr(1), &parsed, reason)) return false;
  *link = parsed;
  return true;
}

std::wstring InstallLinkArguments(const InstallLink& link) {
  std::wstring arguments = L"App=" + link.product;
  if (!link.version.empty()) arguments += L" Ver=" + link.version;
  return arguments;
}

bool TakeInstallLink(std::wstring* line) {
  if (!IsInstallLinkLine(*line)) return true;
  InstallLink link;
  std::wstring reason;
  if (!ParseInstallLink(*line, &link, &reason)) {
    WriteLog(L"the link is not usable, setup ends: %s", reason.c_str());
    return false;
  }
  *line = InstallLinkArguments(link);
  return true;
}

}  // namespace zan
