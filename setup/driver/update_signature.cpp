#include "update_signature.h"

#include <windows.h>
#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>

#include <vector>

#include "setup/common/handles.h"
#include "setup/common/log.h"
#include "setup/common/string_util.h"

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

// The first signer's own certificate, the one the signature was made with,
// as the verification found it.
std::string SignerThumbprint(HANDLE state) {
  CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(state);
  CRYPT_PROVIDER_SGNR* signer = provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  CRYPT_PROVIDER_CERT* cert = signer ? ::WTHelperGetProvCertFromChain(signer, 0) : nullptr;
  if (!cert || !cert->pCert) return std::string();
  unsigned char hash[20];
  DWORD size = sizeof(hash);
  if (!::CertGetCertificateContextProperty(cert->pCert, CERT_SHA1_HASH_PROP_ID, hash, &size) ||
      size != sizeof(hash)) {
    return std::string();
  }
  return HexText(hash, size);
}

std::wstring OwnPath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  while (buffer.size() <= 32768) {
    DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::wstring();
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
  return std::wstring();
}

unsigned Code(LONG trust) { return static_cast<unsigned>(trust); }

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
  if (result.trust == ERROR_SUCCESS) result.thumbprint = SignerThumbprint(data.hWVTStateData);
  return result;
}

FileSignature VerifyOwnSignature() {
  std::wstring path = OwnPath();
  if (path.empty()) {
    FileSignature none;
    none.trust = static_cast<LONG>(HResultFromLastError());
    return none;
  }
  return VerifyFileSignature(path, nullptr);
}

// A file that no signature format knows (not a program) carries none either.
bool IsUnsignedVerdict(LONG trust) {
  return trust == TRUST_E_NOSIGNATURE || trust == TRUST_E_SUBJECT_FORM_UNKNOWN ||
         trust == TRUST_E_PROVIDER_UNKNOWN;
}

// Two empty thumbprints are equal, so a signer that could not be read on
// either side must refuse before they are compared.
UpdateSignature JudgeUpdateSignature(const FileSignature& own, const FileSignature& update) {
  if (own.trust != ERROR_SUCCESS) return UpdateSignature::kNotChecked;
  if (own.thumbprint.empty()) return UpdateSignature::kUnreadable;
  if (IsUnsignedVerdict(update.trust)) return UpdateSignature::kNoSignature;
  if (update.trust != ERROR_SUCCESS) return UpdateSignature::kBadSignature;
  if (update.thumbprint.empty()) return UpdateSignature::kUnreadable;
  return update.thumbprint == own.thumbprint ? UpdateSignature::kAccepted : UpdateSignature::kOtherSigner;
}

bool CheckUpdateSignature(const std::wstring& path, HANDLE file) {
  FileSignature own = VerifyOwnSignature();
  FileSignature update;
  if (own.trust == ERROR_SUCCESS && !own.thumbprint.empty()) update = VerifyFileSignature(path, file);
  std::wstring ours = Utf8ToWide(own.thumbprint);
  std::wstring theirs = Utf8ToWide(update.thumbprint);

  switch (JudgeUpdateSignature(own, update)) {
    case UpdateSignature::kNotChecked:
      if (IsUnsignedVerdict(own.trust)) {
        WriteLog(L"the update was not checked for a signature: this program is not signed");
      } else {
        WriteLog(L"the update was not checked for a signature: this program's own signature "
                 L"could not be verified, error code: 0x%08x", Code(own.trust));
      }
      return true;
    case UpdateSignature::kAccepted:
      WriteLog(L"the update is signed by this program's publisher, certificate %s", ours.c_str());
      return true;
    case UpdateSignature::kNoSignature:
      WriteLog(L"the update is not started: it has no signature");
      return false;
    case UpdateSignature::kBadSignature:
      WriteLog(L"the update is not started: its signature is not valid, error code: 0x%08x",
               Code(update.trust));
      return false;
    case UpdateSignature::kOtherSigner:
      WriteLog(L"the update is not started: it is signed by another publisher, certificate %s, "
               L"not %s", theirs.c_str(), ours.c_str());
      return false;
    case UpdateSignature::kUnreadable:
      WriteLog(own.thumbprint.empty()
                   ? L"the update is not started: this program's signer certificate could not be read"
                   : L"the update is not started: its signer certificate could not be read");
      return false;
  }
  return false;
}

}  // namespace zan
