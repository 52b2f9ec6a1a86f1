// This installation's side of the publisher's release controls: its channel
// and its rollout bucket, kept in the registry record, what the update
// document offers, and the log lines of the decision (release_control.h).
#pragma once

#include <string>

#include <tinyxml.h>

#include "release_control.h"

namespace zan {

// The record's value names.
extern const wchar_t kChannelValue[];
extern const wchar_t kRolloutBucketValue[];

// The record's channel, or the default one (empty) when it names none. A
// value that is no channel name is logged, naming it, and the default
// channel used.
std::wstring RecordedChannel();

// The record's rollout bucket. Drawn with the platform's generator and
// stored when the record has none or one outside 0 to 9999, and kept from
// then on; logged when drawn. kNoBucket when none can be drawn.
unsigned RolloutBucket();

// This program as the decision sees it: the record's version, the build's
// version and the bucket (drawn now, if need be).
Installation ThisInstallation();

// The offer of a parsed update document.
UpdateOffer ReadUpdateOffer(TiXmlDocument& document);

// Logs what the decision means for this installation and whether the
// update is taken.
bool TakesUpdate(const UpdateDecision& decision, const UpdateOffer& offer, const Installation& installation);

}  // namespace zan
