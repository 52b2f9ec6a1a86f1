// The setup program's record about itself under the current user: its
// installed version, the full path of its executable, the time of the
// last self-update check, and its update channel and rollout bucket. The setup program reads and writes it; the
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
  // The same for a DWORD value.
  // False when the record could not be written.
  bool WriteRegAppDword(const std::wstring& key, unsigned long value);

  // Fill "version" and "install_dir" (any letter case); a value not found
  // leaves its out-parameter alone. True when the key opened and at least
  // one of its values was read.
  bool GetRegAppInfo(std::wstring& version, std::wstring& path);
  // The same for the one value `name`.
  bool GetRegAppValue(const std::wstring& name, std::wstring& value);
  // The DWORD value `name`; false, and `*value` untouched, when it is
  // missing or of another type.
  bool GetRegAppDword(const std::wstring& name, unsigned long* value);
};

}  // namespace zan
