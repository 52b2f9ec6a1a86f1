// The byte layout of a multipart/form-data upload: boundary, the text part,
// each file's part header and the closing delimiter, all as UTF-8.
#pragma once

#include <time.h>

#include <map>
#include <string>

namespace zan {

// Ordered by name, so parts go out in ascending name order.
using FormFields = std::map<std::wstring, std::wstring>;

// The fixed prefix followed by the low 32 bits of `now` as a signed number.
std::wstring MultipartBoundary(__time64_t now);

// Every text field as one part, in ascending name order.
std::string MultipartTextPart(const std::wstring& boundary, const FormFields& fields);

// The part header of one file; its contents and a CR LF follow it.
std::string MultipartFileHeader(const std::wstring& boundary, const std::wstring& fieldName,
                                const std::wstring& path);

std::string MultipartClosing(const std::wstring& boundary);

// The path's part after its last '\' or '/'.
std::wstring UploadFileName(const std::wstring& path);

}  // namespace zan
