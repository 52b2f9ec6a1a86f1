#include "authenticode.h"

#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>

namespace zan {
namespace {

// A verification's state lives until WTD_STATEACTION_CLOSE, whatever the
// verdict was: the signer certificate is read from it before that.
class TrustState {
 public:
  TrustState(WINTRUST_DATA* data, GUID* action) : data_(data), action_(action) {}
  ~TrustState() {
    data_->dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), action_, data_);
  }
  TrustState(const TrustState&) = delete;
  TrustState& operator=(const TrustState&) = delete;

 private:
  WINTRUST_DATA* data_;
  GUID* action_;
};

// The pin of the first signer's own certificate, the one the signature was
// made with, as the verification found it.
std::string SignerPin(HANDLE state) {
  CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(state);
  CRYPT_PROVIDER_SGNR* signer = provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  CRYPT_PROVIDER_CERT* cert = signer ? ::WTHelperGetProvCertFromChain(signer, 0) : nullptr;
  return cert ? PublicKeyPin(cert->pCert) : std::string();
}

}  // namespace

FileSignature VerifyFileSignature(const std::wstring& path, HANDLE file) {
  WINTRUST_FILE_INFO fileInfo = {};
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = path.c_str();
  fileInfo.hFile = file;

  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &fileInfo;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;

  FileSignature result;
  TrustState state(&data, &action);
  result.trust = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  if (result.trust == ERROR_SUCCESS) result.pin = SignerPin(data.hWVTStateData);
  return result;
}

// A file that no signature format knows (not a program) carries none either.
bool IsUnsignedVerdict(LONG trust) {
  return trust == TRUST_E_NOSIGNATURE || trust == TRUST_E_SUBJECT_FORM_UNKNOWN ||
         trust == TRUST_E_PROVIDER_UNKNOWN;
}

// Only the pins decide: the running program's own signature plays no part,
// so a build whose own certificate expired still refuses a stranger's file.
PublisherSignature JudgePublisherSignature(const PublisherPins& pins, const FileSignature& update) {
  if (pins.empty()) return PublisherSignature::kNotChecked;
  if (IsUnsignedVerdict(update.trust)) return PublisherSignature::kNoSignature;
  if (update.trust != ERROR_SUCCESS) return PublisherSignature::kBadSignature;
  if (update.pin.empty()) return PublisherSignature::kUnreadable;
  return IsPinned(pins, update.pin) ? PublisherSignature::kAccepted : PublisherSignature::kOtherSigner;
}

}  // namespace zan
