#include "release_control.h"

namespace zan {
namespace {

constexpr size_t kMaxChannelLength = 32;
constexpr unsigned kHundredthsPerPercent = 100;

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

bool IsListed(const std::vector<std::wstring>& withdrawn, const std::wstring& version) {
  for (const std::wstring& listed : withdrawn) {
    if (!listed.empty() && CompareVersions(listed, version) == 0) return true;
  }
  return false;
}

bool SameVersion(const FileVersion& a, const FileVersion& b) { return !IsNewer(a, b) && !IsNewer(b, a); }

}  // namespace

bool IsChannelName(const std::wstring& name) {
  if (name.empty() || name.size() > kMaxChannelLength) return false;
  for (wchar_t c : name) {
    if (!(c >= L'a' && c <= L'z') && !IsDigit(c) && c != L'-') return false;
  }
  return true;
}

std::wstring ChannelDocumentPath(const std::wstring& path, const std::wstring& channel) {
  static const wchar_t kExtension[] = L".xml";
  const size_t extension = sizeof(kExtension) / sizeof(kExtension[0]) - 1;
  if (channel.empty()) return path;
  if (path.size() < extension || path.compare(path.size() - extension, extension, kExtension) != 0) {
    return path + L"-" + channel;
  }
  return path.substr(0, path.size() - extension) + L"-" + channel + kExtension;
}

bool ParseRollout(const std::wstring& text, unsigned* hundredths) {
  size_t at = 0;
  unsigned whole = 0;
  // Three digits at most: nothing above 100 needs more, and none overflows.
  while (at < text.size() && IsDigit(text[at]) && at < 3) whole = whole * 10 + (text[at++] - L'0');
  if (at == 0) return false;
  unsigned fraction = 0;
  if (at < text.size() && text[at] == L'.') {
    size_t decimals = 0;
    for (++at; at < text.size() && IsDigit(text[at]) && decimals < 2; ++at, ++decimals) {
      fraction = fraction * 10 + (text[at] - L'0');
    }
    if (decimals == 0) return false;
    if (decimals == 1) fraction *= 10;
  }
  if (at != text.size()) return false;
  unsigned value = whole * kHundredthsPerPercent + fraction;
  if (value > kFullRollout) return false;
  *hundredths = value;
  return true;
}

std::wstring RolloutText(unsigned hundredths) {
  std::wstring text = std::to_wstring(hundredths / kHundredthsPerPercent);
  unsigned fraction = hundredths % kHundredthsPerPercent;
  if (fraction == 0) return text;
  text += L'.';
  text += static_cast<wchar_t>(L'0' + fraction / 10);
  if (fraction % 10 != 0) text += static_cast<wchar_t>(L'0' + fraction % 10);
  return text;
}

// A full rollout takes every installation, one without a bucket too.
bool IsInRollout(unsigned bucket, unsigned hundredths) { return hundredths >= kFullRollout || bucket < hundredths; }

bool IsWithdrawn(const std::vector<std::wstring>& withdrawn, const std::wstring& recordVersion,
                 const FileVersion& build) {
  // The version block cannot be changed by whatever writes the record; the
  // record names the version that the newer-version rule compares.
  return !recordVersion.empty() && IsListed(withdrawn, VersionText(build)) && IsListed(withdrawn, recordVersion);
}

UpdateDecision DecideUpdate(const UpdateOffer& offer, const Installation& installation) {
  UpdateDecision decision;
  if (offer.version.empty()) return decision;
  decision.withdrawn = IsWithdrawn(offer.withdrawn, installation.recordVersion, installation.build);
  int order = CompareVersions(offer.version, installation.recordVersion);
  if (decision.withdrawn ? order == 0 : order <= 0) return decision;
  decision.hasRollout = offer.hasRollout;
  if (offer.hasRollout && !ParseRollout(offer.rollout, &decision.rollout)) {
    decision.verdict = UpdateVerdict::kBadRollout;
    return decision;
  }
  decision.verdict = IsInRollout(installation.bucket, decision.rollout) ? UpdateVerdict::kTake
                                                                        : UpdateVerdict::kNotRolledOut;
  return decision;
}

bool MayReplaceBuild(const FileVersion& update, const FileVersion& running, bool withdrawn) {
  return withdrawn ? !SameVersion(update, running) : IsNewer(update, running);
}

}  // namespace zan
