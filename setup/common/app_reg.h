// The setup program's record about itself under the current user: its
// installed version, the full path of its executable and the time of the
// last self-update check. The setup program reads and writes it; the
// browser plug-in only reads it, from the same reading code.
#pragma once

#include <string>

namespace zan {

class CAppReg {
 public:
  static const wchar_t kKeyPath[];

  // Writes "version" and "Install_dir", and the key's empty default value.
  void RegAppInfo(const std::wstring& version, const std::wstring& path);
  // Writes the one string value `key`, and the key's empty default value.
  // Missing keys are created; nothing is removed. Failures are silent.
  void WriteRegAppValue(const std::wstring& key, const std::wstring& value);

  // Fill "version" and "install_dir" (any letter case); a value not found
  // leaves its out-parameter alone. True when the key opened and at least
  // one of its values was read.
  bool GetRegAppInfo(std::wstring& version, std::wstring& path);
  // The same for the one value `name`.
  bool GetRegAppValue(const std::wstring& name, std::wstring& value);
};

}  // namespace zan
