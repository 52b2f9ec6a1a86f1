// The publisher's release controls in the update document: a staged
// rollout ("zansetup.rollout"), withdrawn versions
// ("zansetup.withdrawn.version", repeatable) and the channel whose document
// an installation reads. Plain functions over plain values: release_gate.h
// reads the record and logs, self_update.cpp acts on the verdict.
#pragma once

#include <string>
#include <vector>

#include "setup/common/versions.h"

namespace zan {

// Buckets run from 0 to 9999; a rollout is counted in hundredths of a
// percent, 0 to 10000, so that bucket < rollout compares them.
constexpr unsigned kBucketCount = 10000;
constexpr unsigned kFullRollout = 10000;
// Stands for a bucket that could not be drawn: inside a full rollout only.
constexpr unsigned kNoBucket = kBucketCount;

// 1 to 32 characters of a-z, 0-9 and "-".
bool IsChannelName(const std::wstring& name);

// The update document of `channel` beside the default one at `path`
// ("/zansetup/new-x64.xml" and "beta": "/zansetup/new-x64-beta.xml"); the
// empty channel is the default one.
std::wstring ChannelDocumentPath(const std::wstring& path, const std::wstring& channel);

// "0" to "100" with at most two decimals ("12.5", "0.25"), in hundredths.
// Anything else (a sign, an exponent, "100.01", blanks) is no rollout.
bool ParseRollout(const std::wstring& text, unsigned* hundredths);

// Hundredths as the percentage a publisher writes: 3000 "30", 1250
// "12.5", 25 "0.25".
std::wstring RolloutText(unsigned hundredths);

bool IsInRollout(unsigned bucket, unsigned hundredths);

// Whether this installation is withdrawn: its build's version block and
// its record's version both appear among `withdrawn` (dotted numbers, a
// missing number counting as 0).
bool IsWithdrawn(const std::vector<std::wstring>& withdrawn, const std::wstring& recordVersion,
                 const FileVersion& build);

// What the update document offers.
struct UpdateOffer {
  std::wstring version;
  bool hasRollout = false;
  std::wstring rollout;  // as written
  std::vector<std::wstring> withdrawn;
};

// What this installation is.
struct Installation {
  std::wstring recordVersion;
  FileVersion build;
  unsigned bucket = kNoBucket;
};

enum class UpdateVerdict {
  kNothingNew,    // not newer (nor, withdrawn, another version): nothing to say
  kTake,
  kNotRolledOut,  // outside the rollout; rollout 0 halts the release
  kBadRollout,    // a publisher who wrote one meant to limit the release
};

struct UpdateDecision {
  UpdateVerdict verdict = UpdateVerdict::kNothingNew;
  // Listed as withdrawn: takes any other version, older ones too.
  bool withdrawn = false;
  bool hasRollout = false;
  unsigned rollout = kFullRollout;  // hundredths, when hasRollout and readable
};

// Newer than the record's version, or any other for a withdrawn
// installation; then inside the rollout, when there is one.
UpdateDecision DecideUpdate(const UpdateOffer& offer, const Installation& installation);

// Whether an update whose version block is `update` may replace the
// running build: a newer one, or for a withdrawn installation any other.
bool MayReplaceBuild(const FileVersion& update, const FileVersion& running, bool withdrawn);

}  // namespace zan
