#include "file_block_info.h"

#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>

#include <tinyxml.h>

#include "setup/common/string_util.h"
#include "setup/common/xml_document.h"

namespace zan {

unsigned CFileBlockInfo::BlockCount(unsigned long long size, unsigned blockSize) {
  return static_cast<unsigned>((size + blockSize - 1) / blockSize);
}

void CFileBlockInfo::ResetForSize(unsigned long long newSize) {
  size = newSize;
  blockCount = BlockCount(size, blockSize);
  bitmap.assign(blockCount / 8 + 1, 0);
}

bool CFileBlockInfo::BitmapCoversBlocks() const {
  return bitmap.size() >= BlockCount(size, blockSize) / 8 + 1;
}

void CFileBlockInfo::ClearBitmap() { std::fill(bitmap.begin(), bitmap.end(), 0); }

bool CFileBlockInfo::IsBlockDone(unsigned index) const {
  size_t byte = index / 8;
  return byte < bitmap.size() && (bitmap[byte] & (0x80 >> (index % 8))) != 0;
}

unsigned CFileBlockInfo::NextBlock() {
  ScopedLock hold(lock);
  for (size_t byte = cursor == kNoBlock ? bitmap.size() : cursor / 8; byte < bitmap.size(); ++byte) {
    for (unsigned bit = 0; bit < 8; ++bit) {
      if (bitmap[byte] & (0x80 >> bit)) continue;
      unsigned index = static_cast<unsigned>(byte * 8 + bit);
      if (index >= blockCount) {
        cursor = kNoBlock;
        return kNoBlock;
      }
      if (inFlight.count(index)) continue;
      inFlight.insert(index);
      cursor = index;
      doneCount = static_cast<int>(index) - static_cast<int>(inFlight.size()) + 1;
      return index;
    }
  }
  cursor = kNoBlock;
  return kNoBlock;
}

bool CFileBlockInfo::NextRun(unsigned most, unsigned* first, unsigned* count) {
  ScopedLock hold(lock);
  auto free = [this](unsigned index) { return !IsBlockDone(index) && !inFlight.count(index); };
  unsigned index = cursor == kNoBlock ? blockCount : cursor;
  while (index < blockCount && !free(index)) ++index;
  if (index >= blockCount) {
    cursor = kNoBlock;
    return false;
  }
  *first = index;
  *count = 0;
  while (*count < most && index < blockCount && free(index)) {
    inFlight.insert(index++);
    ++*count;
  }
  cursor = index;
  return true;
}

void CFileBlockInfo::CountMarks() {
  ScopedLock hold(lock);
  countMarks = true;
  doneCount = 0;
  for (unsigned i = 0; i < blockCount; ++i) doneCount += IsBlockDone(i);
}

void CFileBlockInfo::ReleaseRun(unsigned first, unsigned count) {
  ScopedLock hold(lock);
  for (unsigned index = first; index < first + count; ++index) {
    if (!inFlight.erase(index) || IsBlockDone(index)) continue;
    if (cursor == kNoBlock || index < cursor) cursor = index;
  }
}

void CFileBlockInfo::MarkBlockDone(unsigned index) {
  ScopedLock hold(lock);
  if (countMarks && index < blockCount && !IsBlockDone(index)) ++doneCount;
  if (index / 8 < bitmap.size()) bitmap[index / 8] |= static_cast<unsigned char>(0x80 >> (index % 8));
  inFlight.erase(index);
}

bool CFileBlockInfo::AnyBlockDone() {
  ScopedLock hold(lock);
  for (unsigned i = 0; i < blockCount; ++i) {
    if (IsBlockDone(i)) return true;
  }
  return false;
}

void CFileBlockInfo::NoteSource(size_t address) {
  ScopedLock hold(lock);
  sources.insert(address);
}

bool CFileBlockInfo::MixedSources() {
  ScopedLock hold(lock);
  return sources.size() + (resumed ? 1 : 0) > 1;
}

bool CFileBlockInfo::IsComplete() {
  ScopedLock hold(lock);
  return cursor == kNoBlock && inFlight.empty();
}

int CFileBlockInfo::done_count() {
  ScopedLock hold(lock);
  return doneCount;
}

bool CFileBlockInfo::SaveState(const std::wstring& path) {
  std::vector<unsigned char> bits;
  {
    ScopedLock hold(lock);
    bits = bitmap;
  }
  TiXmlDocument document;
  document.LinkEndChild(new TiXmlDeclaration("1.0", "utf-8", ""));
  TiXmlElement* root = new TiXmlElement("file");
  document.LinkEndChild(root);
  char sizeText[32];
  snprintf(sizeText, sizeof(sizeText), "%llu", size);
  const std::pair<const char*, std::string> children[] = {
      {"url", WideToUtf8(url)}, {"date", WideToUtf8(date)}, {"size", sizeText},
      {"blocks", EncodeBase64(bits)}};
  for (const auto& child : children) {
    TiXmlElement* element = new TiXmlElement(child.first);
    element->LinkEndChild(new TiXmlText(child.second));
    root->LinkEndChild(element);
  }
  // Written aside and renamed over the old state: a run ended while it
  // writes (killed, or the machine off) keeps the last whole state, and the
  // next run resumes from it rather than from nothing.
  const std::wstring aside = path + L".new";
  FILE* file = _wfopen(aside.c_str(), L"w");
  if (!file) return false;
  bool printed = document.SaveFile(file);
  printed = (fflush(file) == 0) && printed;
  fclose(file);
  if (printed && ::MoveFileExW(aside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  ::DeleteFileW(aside.c_str());
  return false;
}

void CFileBlockInfo::LoadState(const std::wstring& path) {
  TiXmlDocument document;
  if (!LoadXmlFile(path, document)) return;
  TiXmlElement* root = document.FirstChildElement();
  if (!root) return;
  if (TiXmlElement* e = root->FirstChildElement("url")) url = Utf8ToWide(ElementText(e));
  if (TiXmlElement* e = root->FirstChildElement("size")) size = strtoull(ElementText(e).c_str(), nullptr, 10);
  if (TiXmlElement* e = root->FirstChildElement("date")) {
    date = Utf8ToWide(ElementText(e));
    // The date goes into an If-Range header line: a line break in it would
    // add header lines of the file's choosing. Such a date is no date.
    if (date.find_first_of(L"\r\n") != std::wstring::npos) date.clear();
  }
  if (TiXmlElement* e = root->FirstChildElement("blocks")) {
    bitmap.clear();
    if (!DecodeBase64(ElementText(e), &bitmap)) {
      bitmap.clear();
      size = 0;
      url.clear();
    }
  }
}

std::string EncodeBase64(const std::vector<unsigned char>& bytes) {
  if (bytes.empty()) return std::string();
  DWORD length = 0;
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  if (!::CryptBinaryToStringA(bytes.data(), static_cast<DWORD>(bytes.size()), flags, nullptr, &length)) {
    return std::string();
  }
  std::string text(length, '\0');
  if (!::CryptBinaryToStringA(bytes.data(), static_cast<DWORD>(bytes.size()), flags, &text[0], &length)) {
    return std::string();
  }
  text.resize(length);
  while (!text.empty() && (text.back() == '\0' || text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

bool DecodeBase64(const std::string& text, std::vector<unsigned char>* bytes) {
  bytes->clear();
  if (text.empty()) return true;
  DWORD length = 0;
  if (!::CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                              nullptr, &length, nullptr, nullptr)) {
    return false;
  }
  bytes->resize(length);
  if (!::CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                              bytes->data(), &length, nullptr, nullptr)) {
    bytes->clear();
    return false;
  }
  bytes->resize(length);
  return true;
}

}  // namespace zan
