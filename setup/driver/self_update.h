// The daily check for a newer setup program. The decision and the stamp are
// made on the main thread; the check itself runs on a worker that reports to
// nobody, so the current run neither waits for it nor notices it.
#pragma once

#include <time.h>

#include <string>
#include <vector>

#include "setup/http/network_run.h"

namespace zan {

// The stamp's name in the registry record.
extern const wchar_t kUpdateTimeValue[];

// `when` as 14 digits of local time, "%Y%m%d%H%M%S".
std::wstring FormatUpdateTime(__time64_t when);

// The local time a stamp stands for. False when it is not 14 digits or the
// digits are no real date and time (month 13, 25 o'clock, 30 February).
bool ParseUpdateTime(const std::wstring& stamp, __time64_t* when);

// Whether a check is due at `now`: no stamp, a stamp that is no real time,
// or one at least 24 whole hours old. A stamp in the future is not due until
// 24 hours past it.
bool IsUpdateCheckDue(const std::wstring& stamp, __time64_t now);

// Every "%VER%" in the address replaced by the published version.
std::wstring UpdateAddress(const std::wstring& pattern, const std::wstring& version);

// Versions of dot-separated numbers compare number by number ("1.10" after
// "1.9"); any other text compares as text, ignoring letter case, and any
// version comes after the empty one.
bool IsNewerVersion(const std::wstring& published, const std::wstring& installed);

// What the new program is started with: its quoted path and " /Inst=0".
std::wstring UpdateCommandLine(const std::wstring& program);

// The worker's whole job, run on the calling thread: fetch the update
// document at `documentUrl` (signed, in a pinned build), and if it names a
// newer version (or another, when it withdraws this one) inside its
// rollout, download it to `target`, check its digests, signature and
// version block and start it. Every failure is only logged. Both fetches go
// to each of `bases` in turn where their address lies on one, tried again
// through transient failures under `run` (null: one try).
void RunSelfUpdate(const std::wstring& documentUrl, const std::wstring& target,
                   const std::vector<std::wstring>& bases = {}, const NetworkRun* run = nullptr);

// Removes the files an update of ZanSetup set aside in `programFolder`
// ("<name>.old") because they were in use then. One still in use stays for
// a later run, and all stay while another holds the update mutex.
void RemoveUpdateLeftovers(const std::wstring& programFolder);

// On the main thread: when a check is due, writes a fresh stamp first (a
// failed check then waits a day too) and starts the worker against
// `serverBase` (";" between several bases; this flavour's update document
// there, of the record's channel), downloading into
// download\Zansetup. Nothing is due while
// another holds the update mutex; the worker holds it for its whole check.
void CheckSelfUpdate(const std::wstring& serverBase);

}  // namespace zan
