#include "multipart_body.h"

#include "setup/common/string_util.h"

namespace zan {

std::wstring MultipartBoundary(__time64_t now) {
  // Only the low 32 bits, read as signed: after 2038 the number turns negative.
  const int low = static_cast<int>(static_cast<unsigned int>(now));
  return L"----------------------------1147826962" + std::to_wstring(low);
}

std::string MultipartTextPart(const std::wstring& boundary, const FormFields& fields) {
  std::wstring text;
  for (const auto& field : fields) {
    text += L"--" + boundary + L"\r\nContent-Disposition: form-data; name=\"" + field.first + L"\"\r\n\r\n" +
            field.second + L"\r\n";
  }
  return WideToUtf8(text);
}

std::string MultipartFileHeader(const std::wstring& boundary, const std::wstring& fieldName,
                                const std::wstring& path) {
  return WideToUtf8(L"--" + boundary + L"\r\nContent-Disposition: form-data; name=\"" + fieldName +
                    L"\"; filename=\"" + UploadFileName(path) +
                    L"\"\r\nContent-Type: application/octet-stream\r\n\r\n");
}

std::string MultipartClosing(const std::wstring& boundary) { return "--" + WideToUtf8(boundary) + "--\r\n"; }

std::wstring UploadFileName(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace zan
