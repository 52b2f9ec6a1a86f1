#include "command_line.h"

#include <cwctype>

#include "setup/common/string_util.h"

namespace zan {
namespace {

long g_elevationAttempted = 0;

}  // namespace

std::wstring TrimCommandLine(const std::wstring& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && iswspace(text[begin])) ++begin;
  while (end > begin && iswspace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

ArgumentTable ParseArguments(const std::wstring& trimmedLine) {
  ArgumentTable table;
  size_t pos = 0;
  while (pos < trimmedLine.size()) {
    size_t end = trimmedLine.find(L' ', pos);
    if (end == std::wstring::npos) end = trimmedLine.size();
    if (end > pos) {
      std::wstring token = trimmedLine.substr(pos, end - pos);
      size_t equals = token.find(L'=');
      if (equals != std::wstring::npos && equals > 0) {
        table[token.substr(0, equals)] = token.substr(equals + 1);
      } else {
        table.insert(ArgumentTable::value_type(token, std::wstring()));
      }
    }
    pos = end + 1;
  }
  return table;
}

std::wstring ArgumentValue(const ArgumentTable& table, const std::wstring& key) {
  ArgumentTable::const_iterator it = table.find(key);
  return it == table.end() ? std::wstring() : it->second;
}

void SetElevationAttempted() { g_elevationAttempted = 1; }
bool ElevationAttempted() { return g_elevationAttempted != 0; }

}  // namespace zan
