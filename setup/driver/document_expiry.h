// How long a signed document is taken. In a pinned build every document
// names, inside its signed bytes, the instant it stops being taken, so that
// a server cannot replay an old signed release or an old update document
// for ever: a child "expires" of its root, UTC, "2027-01-31T00:00:00Z".
#pragma once

#include <string>

namespace zan {

// The instant `text` names, in FILETIME units (100 ns since 1601-01-01
// 00:00:00 UTC), when it is exactly "YYYY-MM-DDThh:mm:ssZ": digits where
// digits stand, a year from 1601, a day the month has (29 February only in
// a leap year), hours 00 to 23, minutes and seconds 00 to 59. False for
// anything else.
bool ParseExpiryTime(const std::string& text, unsigned long long* fileTime);

enum class Freshness {
  kFresh,       // before its expiry time
  kExpired,     // at or past it
  kNoExpiry,    // no element at the path
  kUnreadable,  // an element whose text is not an expiry time
};

// The freshness at `now` (FILETIME units, UTC) of the XML document `text`
// by its element at the dotted `path` ("soft_info.expires"); `expires`
// receives that element's text as written.
Freshness DocumentFreshness(const std::string& text, const std::string& path, unsigned long long now,
                            std::string* expires);

}  // namespace zan
