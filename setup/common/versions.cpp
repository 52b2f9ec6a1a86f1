#include "versions.h"

#include <cwchar>

#include "handles.h"

namespace zan {
namespace {

// Each part non-empty and made of digits only.
bool IsDottedNumbers(const std::wstring& text) {
  if (text.empty()) return false;
  bool partEmpty = true;
  for (wchar_t c : text) {
    if (c == L'.') {
      if (partEmpty) return false;
      partEmpty = true;
    } else if (c >= L'0' && c <= L'9') {
      partEmpty = false;
    } else {
      return false;
    }
  }
  return !partEmpty;
}

// The next number of `text` from `*at`, without leading zeros, as text: any
// length compares without overflow. Empty past the end.
std::wstring NextNumber(const std::wstring& text, size_t* at) {
  size_t end = text.find(L'.', *at);
  if (end == std::wstring::npos) end = text.size();
  size_t begin = *at;
  while (begin < end && text[begin] == L'0') ++begin;
  std::wstring number = text.substr(begin, end - begin);
  *at = end < text.size() ? end + 1 : end;
  return number;
}

int CompareNumbers(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

// Bounds-checked little-endian reads from a mapped file.
class ImageBytes {
 public:
  ImageBytes(const unsigned char* data, unsigned long long size) : data_(data), size_(size) {}
  bool Has(unsigned long long offset, unsigned long long count) const {
    return offset <= size_ && count <= size_ - offset;
  }
  bool Word(unsigned long long offset, unsigned* value) const {
    if (!Has(offset, 2)) return false;
    *value = data_[offset] | (data_[offset + 1] << 8);
    return true;
  }
  bool Dword(unsigned long long offset, unsigned* value) const {
    unsigned low, high;
    if (!Word(offset, &low) || !Word(offset + 2, &high)) return false;
    *value = low | (high << 16);
    return true;
  }

 private:
  const unsigned char* data_;
  unsigned long long size_;
};

constexpr unsigned kResourceDirectory = 2;
constexpr unsigned kVersionType = 16;  // RT_VERSION
constexpr unsigned kSubdirectoryBit = 0x80000000u;
constexpr unsigned kFixedInfoSignature = 0xFEEF04BDu;
// wLength, wValueLength, wType and "VS_VERSION_INFO" with its NUL, padded to
// four bytes.
constexpr unsigned kFixedInfoOffset = 40;

struct Sections {
  unsigned long long table = 0;
  unsigned count = 0;
};

// The file offset of a relative virtual address: inside one section's raw data.
bool RvaToOffset(const ImageBytes& image, const Sections& sections, unsigned rva,
                 unsigned long long* offset) {
  for (unsigned i = 0; i < sections.count; ++i) {
    unsigned long long header = sections.table + 40ull * i;
    unsigned address, rawSize, rawOffset;
    if (!image.Dword(header + 12, &address) || !image.Dword(header + 16, &rawSize) ||
        !image.Dword(header + 20, &rawOffset)) {
      return false;
    }
    if (rva >= address && rva - address < rawSize) {
      *offset = static_cast<unsigned long long>(rawOffset) + (rva - address);
      return true;
    }
  }
  return false;
}

// The file header's offset: behind "MZ", the offset at 0x3C and "PE\0\0".
bool FindFileHeader(const ImageBytes& image, unsigned long long* fileHeader) {
  unsigned magic, peOffset, signature;
  if (!image.Word(0, &magic) || magic != 0x5A4D || !image.Dword(0x3C, &peOffset) ||
      !image.Dword(peOffset, &signature) || signature != 0x00004550) {
    return false;
  }
  *fileHeader = peOffset + 4ull;
  return true;
}

// The resource directory's file offset, with the section table.
bool FindResources(const ImageBytes& image, Sections* sections, unsigned long long* resources) {
  unsigned long long fileHeader;
  if (!FindFileHeader(image, &fileHeader)) return false;
  const unsigned long long optional = fileHeader + 20;
  unsigned sectionCount, optionalSize, optionalMagic;
  if (!image.Word(fileHeader + 2, &sectionCount) || !image.Word(fileHeader + 16, &optionalSize) ||
      !image.Word(optional, &optionalMagic)) {
    return false;
  }
  unsigned long long directories;
  if (optionalMagic == 0x10B) {
    directories = optional + 96;
  } else if (optionalMagic == 0x20B) {
    directories = optional + 112;
  } else {
    return false;
  }
  unsigned directoryCount, resourceRva;
  if (!image.Dword(directories - 4, &directoryCount) || directoryCount <= kResourceDirectory ||
      !image.Dword(directories + 8ull * kResourceDirectory, &resourceRva) || resourceRva == 0) {
    return false;
  }
  sections->table = optional + optionalSize;
  sections->count = sectionCount;
  return RvaToOffset(image, *sections, resourceRva, resources);
}

// The numbered entry of a resource directory with `id` (the first numbered
// one when `id` is 0), as its data offset word. Named entries are passed
// over: a version block that only they lead to reads as none, and refuses.
bool FindEntry(const ImageBytes& image, unsigned long long directory, unsigned id, unsigned* data) {
  unsigned named, numbered;
  if (!image.Word(directory + 12, &named) || !image.Word(directory + 14, &numbered)) return false;
  for (unsigned i = named; i < named + numbered; ++i) {
    unsigned long long entry = directory + 16 + 8ull * i;
    unsigned name;
    if (!image.Dword(entry, &name) || !image.Dword(entry + 4, data)) return false;
    if (id == 0 || name == id) return true;
  }
  return false;
}

// Type, then name, then language: the version block of the first name and
// language found.
bool FindVersionBlock(const ImageBytes& image, unsigned long long* block, unsigned* size) {
  Sections sections;
  unsigned long long resources;
  if (!FindResources(image, &sections, &resources)) return false;
  unsigned long long directory = resources;
  unsigned data = 0;
  for (int level = 0; level < 3; ++level) {
    if (!FindEntry(image, directory, level == 0 ? kVersionType : 0, &data)) return false;
    // Type and name lead to directories, the language to the data.
    if (((data & kSubdirectoryBit) != 0) != (level < 2)) return false;
    directory = resources + (data & ~kSubdirectoryBit);
  }
  unsigned rva;
  if (!image.Dword(directory, &rva) || !image.Dword(directory + 4, size)) {
    return false;
  }
  return RvaToOffset(image, sections, rva, block);
}

bool ParseFileVersion(const ImageBytes& image, FileVersion* version) {
  unsigned long long block;
  unsigned size, valueSize, fixedSignature, high, low;
  if (!FindVersionBlock(image, &block, &size) || size < kFixedInfoOffset + 52 ||
      !image.Has(block, size) || !image.Word(block + 2, &valueSize) || valueSize < 52 ||
      !image.Dword(block + kFixedInfoOffset, &fixedSignature) || fixedSignature != kFixedInfoSignature ||
      !image.Dword(block + kFixedInfoOffset + 8, &high) || !image.Dword(block + kFixedInfoOffset + 12, &low)) {
    return false;
  }
  version->part[0] = static_cast<unsigned short>(high >> 16);
  version->part[1] = static_cast<unsigned short>(high);
  version->part[2] = static_cast<unsigned short>(low >> 16);
  version->part[3] = static_cast<unsigned short>(low);
  return true;
}

bool ParseMachine(const ImageBytes& image, unsigned* machine) {
  unsigned long long fileHeader;
  return FindFileHeader(image, &fileHeader) && image.Word(fileHeader, machine);
}

// Maps the file held open as `file` and hands its bytes to `parse`.
template <typename Parse>
bool ParseMappedFile(HANDLE file, Parse parse) {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(file, &size) || size.QuadPart <= 0) return false;
  ScopedHandle mapping(::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping) return false;
  ScopedView view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
  if (!view) return false;
  return parse(ImageBytes(static_cast<const unsigned char*>(view.get()),
                          static_cast<unsigned long long>(size.QuadPart)));
}

}  // namespace

int CompareVersions(const std::wstring& a, const std::wstring& b) {
  if (!IsDottedNumbers(a) || !IsDottedNumbers(b)) {
    int order = _wcsicmp(a.c_str(), b.c_str());
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
  }
  size_t atA = 0, atB = 0;
  while (atA < a.size() || atB < b.size()) {
    int order = CompareNumbers(NextNumber(a, &atA), NextNumber(b, &atB));
    if (order != 0) return order;
  }
  return 0;
}

bool IsNewer(const FileVersion& a, const FileVersion& b) {
  for (int i = 0; i < 4; ++i) {
    if (a.part[i] != b.part[i]) return a.part[i] > b.part[i];
  }
  return false;
}

std::wstring VersionText(const FileVersion& version) {
  wchar_t text[32];
  swprintf(text, 32, L"%u.%u.%u.%u", version.part[0], version.part[1], version.part[2], version.part[3]);
  return text;
}

bool ReadFileVersion(HANDLE file, FileVersion* version) {
  return ParseMappedFile(file, [&](const ImageBytes& image) { return ParseFileVersion(image, version); });
}

bool ReadFileMachine(HANDLE file, unsigned* machine) {
  return ParseMappedFile(file, [&](const ImageBytes& image) { return ParseMachine(image, machine); });
}

unsigned RunningMachine() {
  const auto* image = reinterpret_cast<const unsigned char*>(::GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  return reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew)->FileHeader.Machine;
}

}  // namespace zan
