// A small writer of registry key tables: each row names a key below a root,
// how unregistration treats it, its default value and its named values.
// Registration and unregistration both walk the same table.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zan {

enum class KeyRule {
  kNormal,  // removed on unregistration once it holds nothing more
  kKept,    // never removed
  kForced,  // replaced whole on registration, removed whole on unregistration
};

struct RegValueRow {
  const wchar_t* name;  // null: the default value
  DWORD type;           // REG_SZ or REG_DWORD
  const wchar_t* text;  // REG_SZ, placeholders "%NAME%" replaced
  DWORD number;         // REG_DWORD
};

struct RegKeyRow {
  const wchar_t* path;  // below the root; parents come before their children
  KeyRule rule;
  std::vector<RegValueRow> values;
};

struct Replacement {
  std::wstring name;   // without the percent signs
  std::wstring value;
};

// Creates every key and sets its values. The first failure ends the walk.
HRESULT RegisterKeys(HKEY root, const std::vector<RegKeyRow>& table, const std::vector<Replacement>& with);

// Walks the table backwards: forced keys go with their subtrees, normal keys
// lose the values of the table and go when nothing is left in them, kept
// keys stay. Keys that are already gone are no failure.
HRESULT UnregisterKeys(HKEY root, const std::vector<RegKeyRow>& table, const std::vector<Replacement>& with);

}  // namespace zan
