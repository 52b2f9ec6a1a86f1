#include "self_update.h"

#include <windows.h>

#include <cwchar>
#include <memory>

#include "setup/common/build_settings.h"
#include "download_folder.h"
#include "install_info.h"
#include "package_install.h"
#include "release_gate.h"
#include "setup/common/app_reg.h"
#include "setup/common/file_digests.h"
#include "setup/common/log.h"
#include "setup/common/start_program.h"
#include "setup/common/string_util.h"
#include "setup/common/worker.h"
#include "setup/common/xml_document.h"
#include "setup/common/versions.h"
#include "setup/http/simple_http_fetch.h"
#include "network_session.h"
#include "signed_document.h"
#include "update_lock.h"
#include "update_signature.h"

namespace zan {
namespace {

constexpr long long kSecondsPerHour = 3600;
constexpr long long kHoursBetweenChecks = 24;
// The setup program's own installer is a few MB; a server that sends more
// than this fills no disk.
constexpr unsigned long long kUpdateSizeCap = 64ull * 1024 * 1024;
// Long enough for a run's stamp decision or an updater's swap to end.
constexpr DWORD kWorkerLockWaitMs = 30000;

struct UpdateJob {
  std::wstring documentUrl;
  std::wstring target;
  std::vector<std::wstring> bases;
};

int Digits(const std::wstring& text, size_t from, size_t count) {
  int value = 0;
  for (size_t i = from; i < from + count; ++i) value = value * 10 + (text[i] - L'0');
  return value;
}

bool AllDigits(const std::wstring& text) {
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
  }
  return true;
}

std::wstring DocumentText(TiXmlDocument& document, const char* path) {
  TiXmlElement* element = FindElementByPath(&document, path);
  return element ? Utf8ToWide(ElementText(element)) : std::wstring();
}

// In a pinned build only an update signed with a pinned key, in any build
// only one newer than this program itself (any other, when the document
// withdraws this version).
bool VerifyAndStart(const std::wstring& target, const ExpectedDigests& digests, bool withdrawn) {
  auto check = [&](HANDLE file) {
    return CheckUpdateSignature(target, file, BuildPins()) && CheckUpdateMachine(file, RunningMachine()) &&
           CheckUpdateVersion(file, BuildVersion(), withdrawn);
  };
  return StartCheckedFile(target, digests, L"update zansetup check md5 failed", check, [&] {
    PROCESS_INFORMATION info;
    if (!StartProgram(UpdateCommandLine(target), 0, 0, &info)) {
      WriteLog(L"run update failed");
      return false;
    }
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return true;
  });
}

unsigned __stdcall SelfUpdateWorker(void* param) {
  std::unique_ptr<UpdateJob> job = TakeBlock<UpdateJob>(param);
  // Its failures are only logged, an exception's too.
  RunGuarded(L"the update check", [&] {
    UpdateLock lock(kWorkerLockWaitMs);
    if (!lock.held()) {
      WriteLog(L"the update check is left out: another run holds the update");
      return;
    }
    // Tried again through transient failures on each base, silently: no
    // window hears of its waits, and no proxy prompt is made for it.
    NetworkRun run;
    RunSelfUpdate(job->documentUrl, job->target, job->bases, &run);
  });
  return 0;
}

// Whether this run makes today's check; writes the stamp when it does. Made
// under the update mutex, so of runs that start together only one finds the
// check due.
bool ClaimDueCheck() {
  UpdateLock lock(0);
  if (!lock.held()) {
    WriteLog(L"another run holds the update: this run checks nothing");
    return false;
  }
  __time64_t now = _time64(nullptr);
  CAppReg record;
  std::wstring stamp;
  record.GetRegAppValue(kUpdateTimeValue, stamp);
  if (!IsUpdateCheckDue(stamp, now)) return false;
  std::wstring fresh = FormatUpdateTime(now);
  record.WriteRegAppValue(kUpdateTimeValue, fresh);
  WriteLog(L"write the update time %s", fresh.c_str());
  return true;
}

}  // namespace

const wchar_t kUpdateTimeValue[] = L"updatetime";

std::wstring FormatUpdateTime(__time64_t when) {
  struct tm local = {};
  if (_localtime64_s(&local, &when) != 0) return std::wstring();
  wchar_t text[32];
  swprintf(text, 32, L"%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

bool ParseUpdateTime(const std::wstring& stamp, __time64_t* when) {
  if (stamp.size() != 14 || !AllDigits(stamp)) return false;
  struct tm local = {};
  local.tm_year = Digits(stamp, 0, 4) - 1900;
  local.tm_mon = Digits(stamp, 4, 2) - 1;
  local.tm_mday = Digits(stamp, 6, 2);
  local.tm_hour = Digits(stamp, 8, 2);
  local.tm_min = Digits(stamp, 10, 2);
  local.tm_sec = Digits(stamp, 12, 2);
  local.tm_isdst = -1;
  if (local.tm_year < 0 || local.tm_mon > 11 || local.tm_mday < 1 || local.tm_hour > 23 ||
      local.tm_min > 59 || local.tm_sec > 59) {
    return false;
  }
  const int year = local.tm_year, month = local.tm_mon, day = local.tm_mday;
  __time64_t result = _mktime64(&local);
  // The platform moves 30 February to March: that date does not exist.
  if (result == -1 || local.tm_year != year || local.tm_mon != month || local.tm_mday != day) {
    return false;
  }
  *when = result;
  return true;
}

// A stamp that stands for no real time counts as due: it was not written by
// this program, and a day without a check is worse than one check too many.
bool IsUpdateCheckDue(const std::wstring& stamp, __time64_t now) {
  if (stamp.empty()) return true;
  __time64_t stamped = 0;
  if (!ParseUpdateTime(stamp, &stamped)) return true;
  long long hours = static_cast<long long>(now - stamped) / kSecondsPerHour;
  return hours >= kHoursBetweenChecks;
}

std::wstring UpdateAddress(const std::wstring& pattern, const std::wstring& version) {
  return ReplaceAll(pattern, L"%VER%", version);
}

bool IsNewerVersion(const std::wstring& published, const std::wstring& installed) {
  return CompareVersions(published, installed) > 0;
}

// Quoted, so that a download folder below "Program Files" cannot make the
// platform try "C:\Program.exe" first.
std::wstring UpdateCommandLine(const std::wstring& program) {
  return L"\"" + program + L"\" /Inst=0";
}

void RunSelfUpdate(const std::wstring& documentUrl, const std::wstring& target,
                   const std::vector<std::wstring>& bases, const NetworkRun* run) {
  CSimpleHttpFetch fetch;
  fetch.set_run(run);
  fetch.set_size_cap(kDocumentSizeCap);
  std::string text;
  HttpRequest request;
  request.addresses = AddressesOnBases(documentUrl, bases);
  if (fetch.Fetch(request, text) != S_OK) {
    WriteLog(L"download new.xml failed, url: %s", documentUrl.c_str());
    return;
  }
  // Logged only once it is known to be the publisher's.
  if (!SignedDocumentHolds(fetch, fetch.answered_url(), text, BuildPins(), "zansetup.expires")) return;
  WriteLog(L"new.xml content: %s", Utf8ToWide(text).c_str());
  TiXmlDocument document;
  ParseXmlText(text, document);
  std::wstring published = DocumentText(document, "zansetup.version");
  std::wstring url = UpdateAddress(DocumentText(document, "zansetup.url"), published);
  ExpectedDigests digests;
  digests.md5 = DocumentText(document, "zansetup.checksum");
  digests.hasSha256 = FindElementByPath(&document, "zansetup.sha256") != nullptr;
  digests.sha256 = DocumentText(document, "zansetup.sha256");
  if (IsPinnedBuild() && !IsSha256Text(digests.sha256)) {
    WriteLog(L"the update document gives no sha256");
    return;
  }

  // The publisher's rollout, channel and withdrawals decide who takes it.
  UpdateOffer offer = ReadUpdateOffer(document);
  Installation installation = ThisInstallation();
  UpdateDecision decision = DecideUpdate(offer, installation);
  if (!TakesUpdate(decision, offer, installation)) return;

  // The new program is no document: it may be larger than one, but not
  // without bound.
  fetch.set_size_cap(kUpdateSizeCap);
  HttpRequest program;
  program.addresses = AddressesOnBases(url, bases);
  HRESULT result = fetch.FetchFile(program, target);
  WriteLog(L"download zansetup to: %s", target.c_str());
  // Another status or an empty body is left to the digest check.
  if (FAILED(result)) {
    WriteLog(L"download zansetup package failed, url: %s", url.c_str());
    return;
  }
  VerifyAndStart(target, digests, decision.withdrawn);
}

void RemoveUpdateLeftovers(const std::wstring& programFolder) {
  static const wchar_t* const kSetAside[] = {L"ZanSetup.exe.old", L"ZanSetupSH.exe.old",
                                             L"npZanSetupOneClick.dll.old"};
  // An updater may still need them to undo its swap.
  UpdateLock lock(0);
  if (!lock.held()) {
    WriteLog(L"the update leftovers stay: another run holds the update");
    return;
  }
  for (const wchar_t* name : kSetAside) ::DeleteFileW((programFolder + name).c_str());
}

void CheckSelfUpdate(const std::wstring& serverBase) {
  if (!ClaimDueCheck()) return;
  std::unique_ptr<UpdateJob> job(new UpdateJob);
  job->bases = SplitServerBases(serverBase);
  job->documentUrl = (job->bases.empty() ? serverBase : job->bases.front()) +
                     ChannelDocumentPath(UpdateDocumentPath(), RecordedChannel());
  job->target = GetDownloadFolder(L"Zansetup") + L"ZanSetup.exe";
  if (!StartWorker(SelfUpdateWorker, std::move(job))) WriteLog(L"start the update thread failed");
}

}  // namespace zan
