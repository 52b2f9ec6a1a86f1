#include "signed_document.h"

#include <windows.h>

#include "document_expiry.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"
#include "setup/common/xml_document.h"

namespace zan {

const unsigned long long kSignatureSizeCap = 64 * 1024;

namespace {

// The cap of a fetch object for one request, put back afterwards.
class ScopedSizeCap {
 public:
  ScopedSizeCap(CSimpleHttpFetch& fetch, unsigned long long cap) : fetch_(fetch), previous_(fetch.size_cap()) {
    fetch_.set_size_cap(cap);
  }
  ~ScopedSizeCap() { fetch_.set_size_cap(previous_); }
  ScopedSizeCap(const ScopedSizeCap&) = delete;
  ScopedSizeCap& operator=(const ScopedSizeCap&) = delete;

 private:
  CSimpleHttpFetch& fetch_;
  unsigned long long previous_;
};

std::wstring ElementTextAt(TiXmlDocument& document, const char* path, bool* found) {
  TiXmlElement* element = FindElementByPath(&document, path);
  *found = element != nullptr;
  return element ? Utf8ToWide(ElementText(element)) : std::wstring();
}

}  // namespace

bool DocumentSignatureHolds(CSimpleHttpFetch& fetch, const std::wstring& url, const std::string& text,
                            const PublisherPins& pins) {
  if (pins.empty()) return true;
  std::string signature;
  HRESULT result;
  {
    ScopedSizeCap cap(fetch, kSignatureSizeCap);
    result = fetch.FetchToString(url + L".p7s", L"", nullptr, signature);
  }
  if (result != S_OK) {
    WriteLog(L"the signature of %s is missing", url.c_str());
    return false;
  }
  switch (CheckDetachedSignature(text, signature, pins)) {
    case SignatureVerdict::kValid:
      return true;
    case SignatureVerdict::kNotOurs:
      WriteLog(L"the signature of %s is not by our publisher", url.c_str());
      return false;
    case SignatureVerdict::kNotValid:
      break;
  }
  WriteLog(L"the signature of %s is not valid", url.c_str());
  return false;
}

bool SignedDocumentHolds(CSimpleHttpFetch& fetch, const std::wstring& url, const std::string& text,
                         const PublisherPins& pins, const char* expiresPath) {
  if (!DocumentSignatureHolds(fetch, url, text, pins)) return false;
  if (pins.empty()) return true;
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  std::string expires;
  switch (DocumentFreshness(text, expiresPath,
                            (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime,
                            &expires)) {
    case Freshness::kFresh:
      return true;
    case Freshness::kExpired:
      WriteLog(L"the document %s expired on %s", url.c_str(), Utf8ToWide(expires).c_str());
      return false;
    case Freshness::kNoExpiry:
      WriteLog(L"the document %s gives no expiry time", url.c_str());
      return false;
    case Freshness::kUnreadable:
      break;
  }
  WriteLog(L"the document %s gives an unreadable expiry time: %s", url.c_str(), Utf8ToWide(expires).c_str());
  return false;
}

bool DocumentIsFor(const std::wstring& url, const std::string& text, const std::wstring& name,
                   const std::wstring& version) {
  TiXmlDocument document;
  ParseXmlText(text, document);
  bool hasName = false, hasVersion = false;
  std::wstring namedProduct = ElementTextAt(document, "soft_info.name", &hasName);
  std::wstring namedVersion = ElementTextAt(document, "soft_info.version", &hasVersion);
  if (hasName && EqualsIgnoreCase(namedProduct, name) &&
      (version.empty() || (hasVersion && EqualsIgnoreCase(namedVersion, version)))) {
    return true;
  }
  WriteLog(L"the document %s is not for this product and version", url.c_str());
  return false;
}

}  // namespace zan
