#include "publisher_signature.h"

#include <cstring>
#include <memory>
#include <vector>

#include "sha256.h"
#include "string_util.h"

namespace zan {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct CertFree {
  void operator()(PCCERT_CONTEXT cert) const { ::CertFreeCertificateContext(cert); }
};
struct MessageClose {
  void operator()(HCRYPTMSG message) const { ::CryptMsgClose(message); }
};
struct LocalBlockFree {
  void operator()(void* block) const { ::LocalFree(block); }
};

const BYTE* Bytes(const std::string& text) { return reinterpret_cast<const BYTE*>(text.data()); }

std::string Sha256Of(const std::string& content) {
  Sha256Context context;
  context.Add(content.data(), content.size());
  unsigned char digest[Sha256Context::kDigestSize];
  return context.Finish(digest) ? std::string(reinterpret_cast<char*>(digest), sizeof(digest)) : std::string();
}

// The digest a signed "messageDigest" attribute holds; empty when the
// attributes have none, or more than one value.
std::string MessageDigestAttribute(const CRYPT_ATTRIBUTES& attributes) {
  for (DWORD i = 0; i < attributes.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
    if (!attribute.pszObjId || std::strcmp(attribute.pszObjId, szOID_RSA_messageDigest) != 0) continue;
    if (attribute.cValue != 1) return std::string();
    CRYPT_DATA_BLOB* value = nullptr;
    DWORD size = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_OCTET_STRING, attribute.rgValue[0].pbData,
                               attribute.rgValue[0].cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &value, &size)) {
      return std::string();
    }
    std::unique_ptr<void, LocalBlockFree> owned(value);
    return std::string(reinterpret_cast<const char*>(value->pbData), value->cbData);
  }
  return std::string();
}

// One signer, whose digest is SHA-256 (a weaker digest would let a
// collision stand in for a signed document); and when it signed attributes,
// their message digest must be that of `content`. The platform checks the
// signature over the attributes, and not every implementation of it checks
// that they belong to the content.
bool SignerFitsContent(const std::string& signature, const std::string& content) {
  std::unique_ptr<void, MessageClose> message(
      ::CryptMsgOpenToDecode(kEncoding, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr));
  if (!message || !::CryptMsgUpdate(message.get(), Bytes(signature), static_cast<DWORD>(signature.size()), TRUE)) {
    return false;
  }
  DWORD count = 0, size = sizeof(count);
  if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_COUNT_PARAM, 0, &count, &size) || count != 1) {
    return false;
  }
  size = 0;
  if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0) return false;
  std::vector<BYTE> buffer(size);
  if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) return false;
  const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
  if (!signer->HashAlgorithm.pszObjId || std::strcmp(signer->HashAlgorithm.pszObjId, szOID_NIST_sha256) != 0) {
    return false;
  }
  if (signer->AuthAttrs.cAttr == 0) return true;
  const std::string digest = MessageDigestAttribute(signer->AuthAttrs);
  return !digest.empty() && digest == Sha256Of(content);
}

}  // namespace

PublisherPins ParsePins(const std::wstring& text) {
  PublisherPins pins;
  for (const std::wstring& pin : SplitSettingList(text)) pins.push_back(WideToUtf8(pin));
  return pins;
}

std::string PublicKeyPin(PCCERT_CONTEXT cert) {
  if (!cert || !cert->pCertInfo) return std::string();
  BYTE* encoded = nullptr;
  DWORD size = 0;
  if (!::CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &cert->pCertInfo->SubjectPublicKeyInfo,
                             CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded, &size)) {
    return std::string();
  }
  std::unique_ptr<void, LocalBlockFree> owned(encoded);
  Sha256Context context;
  context.Add(encoded, size);
  unsigned char digest[Sha256Context::kDigestSize];
  if (!context.Finish(digest)) return std::string();
  return HexText(digest, sizeof(digest));
}

bool IsPinned(const PublisherPins& pins, const std::string& pin) {
  if (pin.empty()) return false;
  for (const std::string& pinned : pins) {
    if (pinned == pin) return true;
  }
  return false;
}

SignatureVerdict CheckDetachedSignature(const std::string& content, const std::string& signature,
                                        const PublisherPins& pins) {
  if (signature.empty() || !SignerFitsContent(signature, content)) return SignatureVerdict::kNotValid;
  CRYPT_VERIFY_MESSAGE_PARA para = {};
  para.cbSize = sizeof(para);
  para.dwMsgAndCertEncodingType = kEncoding;
  const BYTE* parts[] = {Bytes(content)};
  DWORD sizes[] = {static_cast<DWORD>(content.size())};
  PCCERT_CONTEXT signer = nullptr;
  const BOOL valid = ::CryptVerifyDetachedMessageSignature(&para, 0, Bytes(signature),
                                                           static_cast<DWORD>(signature.size()), 1, parts,
                                                           sizes, &signer);
  std::unique_ptr<const CERT_CONTEXT, CertFree> cert(signer);
  if (!valid || !cert) return SignatureVerdict::kNotValid;
  return IsPinned(pins, PublicKeyPin(cert.get())) ? SignatureVerdict::kValid : SignatureVerdict::kNotOurs;
}

}  // namespace zan
