#include "update_signature.h"

#include <windows.h>
#include <wincrypt.h>

#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"
#include "release_control.h"

namespace zan {
namespace {

unsigned Code(LONG trust) { return static_cast<unsigned>(trust); }

}  // namespace

bool CheckUpdateSignature(const std::wstring& path, HANDLE file, const PublisherPins& pins) {
  FileSignature update;
  if (!pins.empty()) update = VerifyFileSignature(path, file);
  std::wstring key = Utf8ToWide(update.pin);
  switch (JudgePublisherSignature(pins, update)) {
    case PublisherSignature::kNotChecked:
      WriteLog(L"the update was not checked for a signature: this build pins no publisher key");
      return true;
    case PublisherSignature::kAccepted:
      WriteLog(L"the update is signed by our publisher, key %s", key.c_str());
      return true;
    case PublisherSignature::kNoSignature:
      WriteLog(L"the update is not started: it has no signature");
      return false;
    case PublisherSignature::kBadSignature:
      WriteLog(L"the update is not started: its signature is not valid, error code: 0x%08x",
               Code(update.trust));
      return false;
    case PublisherSignature::kOtherSigner:
      WriteLog(L"the update is not started: it is not signed by our publisher, key %s", key.c_str());
      return false;
    case PublisherSignature::kUnreadable:
      WriteLog(L"the update is not started: its signer certificate could not be read");
      return false;
  }
  return false;
}

bool CheckUpdateMachine(HANDLE file, unsigned running) {
  unsigned machine = 0;
  if (!ReadFileMachine(file, &machine)) {
    WriteLog(L"the update is not started: it is no program");
    return false;
  }
  if (machine != running) {
    WriteLog(L"the update is not started: it is built for machine 0x%04x, this program for 0x%04x", machine,
             running);
    return false;
  }
  return true;
}

bool CheckUpdateVersion(HANDLE file, const FileVersion& running, bool withdrawn) {
  FileVersion update;
  if (!ReadFileVersion(file, &update)) {
    WriteLog(L"the update is not started: it carries no version block");
    return false;
  }
  if (MayReplaceBuild(update, running, withdrawn)) return true;
  if (withdrawn) {
    WriteLog(L"the update is not started: its version %s is this program's own, which is withdrawn",
             VersionText(update).c_str());
  } else {
    WriteLog(L"the update is not started: its version %s is not newer than this program's %s",
             VersionText(update).c_str(), VersionText(running).c_str());
  }
  return false;
}

}  // namespace zan
