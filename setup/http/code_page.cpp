#include "code_page.h"

#include <cwctype>

namespace zan {
namespace {

struct CharsetCodePage {
  const wchar_t* name;
  int codePage;
};

const CharsetCodePage kCharsets[] = {
    {L"GBK", 936},           {L"GB2312", 936},        {L"EUC-KR", 949},
    {L"EUC-TW", 950},        {L"EUC-JP", 932},        {L"JOHAB", 1361},
    {L"ISO-8859-1", 28591},  {L"ISO-8859-2", 28592},  {L"ISO-8859-3", 28593},
    {L"ISO-8859-4", 28594},  {L"ISO-8859-5", 28595},  {L"ISO-8859-6", 28596},
    {L"ISO-8859-7", 28597},  {L"ISO-8859-8", 28598},  {L"ISO-8859-9", 28599},
    {L"ISO-8859-15", 28605},
};

bool IsTokenCharacter(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
         c == L'_' || c == L'-';
}

}  // namespace

int DetectCodePage(const std::wstring& contentType, std::wstring* charset) {
  static const std::wstring kKey = L"charset=";
  // Like a pattern search: an occurrence without a token does not end the
  // search, a later one may still match.
  for (size_t at = contentType.find(kKey); at != std::wstring::npos;
       at = contentType.find(kKey, at + 1)) {
    size_t begin = at + kKey.size();
    size_t end = begin;
    while (end < contentType.size() && IsTokenCharacter(contentType[end])) ++end;
    if (end == begin) continue;

    std::wstring name = contentType.substr(begin, end - begin);
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
    *charset = name;
    for (const CharsetCodePage& entry : kCharsets) {
      if (name == entry.name) return entry.codePage;
    }
    return kUtf8CodePage;
  }
  return kUtf8CodePage;
}

}  // namespace zan
