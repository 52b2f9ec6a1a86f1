#include "release_gate.h"

#include <windows.h>
#include <bcrypt.h>

#include "setup/common/app_reg.h"
#include "setup/common/build_settings.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"
#include "setup/common/xml_document.h"

namespace zan {
namespace {

// The largest multiple of the bucket count that a DWORD holds: draws at or
// above it are thrown back, so that every bucket is equally likely.
constexpr unsigned long long kFairDraws = (0x100000000ull / kBucketCount) * kBucketCount;

bool DrawBucket(unsigned* bucket) {
  for (;;) {
    UINT32 random = 0;
    NTSTATUS status = ::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&random), sizeof(random),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status)) {
      WriteLog(L"the rollout bucket could not be drawn, error code: 0x%08x", static_cast<unsigned>(status));
      return false;
    }
    if (random < kFairDraws) {
      *bucket = random % kBucketCount;
      return true;
    }
  }
}

std::wstring Text(const TiXmlElement* element) { return Utf8ToWide(ElementText(element)); }

}  // namespace

const wchar_t kChannelValue[] = L"channel";
const wchar_t kRolloutBucketValue[] = L"rollout_bucket";

std::wstring RecordedChannel() {
  std::wstring channel;
  CAppReg().GetRegAppValue(kChannelValue, channel);
  if (channel.empty() || IsChannelName(channel)) return channel;
  WriteLog(L"the channel \"%s\" is no channel name: the default channel is used", channel.c_str());
  return std::wstring();
}

unsigned RolloutBucket() {
  CAppReg record;
  unsigned long stored = 0;
  bool found = record.GetRegAppDword(kRolloutBucketValue, &stored);
  if (found && stored < kBucketCount) return static_cast<unsigned>(stored);
  unsigned bucket = kNoBucket;
  if (!DrawBucket(&bucket)) return kNoBucket;
  // Kept for this run only: the next check draws again.
  if (!record.WriteRegAppDword(kRolloutBucketValue, bucket)) {
    WriteLog(L"the rollout bucket %u could not be stored", bucket);
  }
  if (found) {
    WriteLog(L"the rollout bucket %u is out of range: drew the rollout bucket %u", static_cast<unsigned>(stored),
             bucket);
  } else {
    WriteLog(L"drew the rollout bucket %u", bucket);
  }
  return bucket;
}

Installation ThisInstallation() {
  Installation installation;
  std::wstring location;
  CAppReg().GetRegAppInfo(installation.recordVersion, location);
  installation.build = BuildVersion();
  installation.bucket = RolloutBucket();
  return installation;
}

UpdateOffer ReadUpdateOffer(TiXmlDocument& document) {
  UpdateOffer offer;
  if (TiXmlElement* version = FindElementByPath(&document, "zansetup.version")) offer.version = Text(version);
  if (TiXmlElement* rollout = FindElementByPath(&document, "zansetup.rollout")) {
    offer.hasRollout = true;
    offer.rollout = Text(rollout);
  }
  TiXmlElement* root = document.RootElement();
  if (!root || root->ValueStr() != "zansetup") return offer;
  for (TiXmlElement* list = root->FirstChildElement("withdrawn"); list; list = list->NextSiblingElement("withdrawn")) {
    for (TiXmlElement* item = list->FirstChildElement("version"); item; item = item->NextSiblingElement("version")) {
      offer.withdrawn.push_back(Text(item));
    }
  }
  return offer;
}

bool TakesUpdate(const UpdateDecision& decision, const UpdateOffer& offer, const Installation& installation) {
  const wchar_t* published = offer.version.c_str();
  std::wstring percent = RolloutText(decision.rollout);
  switch (decision.verdict) {
    case UpdateVerdict::kNothingNew:
      return false;
    case UpdateVerdict::kBadRollout:
      WriteLog(L"the update %s is not taken: its rollout is not usable: %s", published, offer.rollout.c_str());
      return false;
    case UpdateVerdict::kNotRolledOut:
      WriteLog(L"the update %s is rolled out to %s%% of installations, not to this one (bucket %u)", published,
               percent.c_str(), installation.bucket);
      return false;
    case UpdateVerdict::kTake:
      break;
  }
  if (decision.hasRollout) {
    WriteLog(L"the update %s is rolled out to %s%% of installations, this one among them (bucket %u)", published,
             percent.c_str(), installation.bucket);
  }
  if (decision.withdrawn) {
    WriteLog(L"this installation's version %s is withdrawn: it takes the update %s",
             installation.recordVersion.c_str(), published);
  }
  return true;
}

}  // namespace zan
