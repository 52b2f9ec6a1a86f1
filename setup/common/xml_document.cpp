#include "xml_document.h"

#include <sys/stat.h>

#include <cstdio>

namespace zan {
namespace {

TiXmlElement* FirstChildElementNamed(TiXmlNode* parent, const std::string& name) {
  if (!parent || name.empty()) return nullptr;
  for (TiXmlElement* child = parent->FirstChildElement(); child;
       child = child->NextSiblingElement()) {
    if (name == child->Value()) return child;
  }
  return nullptr;
}

}  // namespace

TiXmlElement* FindElementByPath(TiXmlNode* node, const std::string& path) {
  size_t begin = 0;
  TiXmlNode* current = node;
  for (;;) {
    size_t dot = path.find('.', begin);
    std::string segment = path.substr(begin, dot == std::string::npos ? std::string::npos : dot - begin);
    current = FirstChildElementNamed(current, segment);
    if (!current || dot == std::string::npos) return current ? current->ToElement() : nullptr;
    begin = dot + 1;
  }
}

bool LoadXmlFile(const std::wstring& fileName, TiXmlDocument& document, unsigned long long sizeCap,
                 bool* tooLarge) {
  FILE* file = _wfopen(fileName.c_str(), L"rb");
  if (!file) return false;
  // Measured on the file opened, so the size judged is the size read.
  struct _stat64 status = {};
  if (sizeCap && (_fstat64(_fileno(file), &status) != 0 || static_cast<unsigned long long>(status.st_size) > sizeCap)) {
    if (tooLarge) *tooLarge = true;
    fclose(file);
    return false;
  }
  bool loaded = document.LoadFile(file, TIXML_ENCODING_UNKNOWN);
  fclose(file);
  return loaded && !document.Error();
}

bool SetElementText(TiXmlElement* element, const char* text) {
  if (!element || !text) return false;
  element->Clear();
  element->LinkEndChild(new TiXmlText(text));
  return true;
}

bool CollectChildElements(TiXmlElement* element, ChildElementTable& table) {
  if (!element) return false;
  table.clear();
  for (TiXmlElement* child = element->FirstChildElement(); child;
       child = child->NextSiblingElement()) {
    table.insert(ChildElementTable::value_type(child->Value(), child));
  }
  return true;
}

std::string ElementText(const TiXmlElement* element) {
  if (!element) return std::string();
  const TiXmlNode* first = element->FirstChild();
  return first && first->ToText() ? std::string(first->Value()) : std::string();
}

void ParseXmlText(const std::string& text, TiXmlDocument& document) {
  document.Parse(text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
}

}  // namespace zan
