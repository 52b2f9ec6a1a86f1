// Dotted-path access to TinyXML documents ("soft_info.dir.install.read").
#pragma once

#include <map>
#include <string>

#include <tinyxml.h>

namespace zan {

using ChildElementTable = std::multimap<std::string, TiXmlElement*>;

// The element that `path` names below `node`: the first matching element
// child at each level, names compared byte for byte. An empty segment matches
// nothing. Null when any segment is missing.
TiXmlElement* FindElementByPath(TiXmlNode* node, const std::string& path);

// Loads a file (binary read, encoding left to TinyXML). False when the file
// does not open, does not parse, or the document reports an error. A file
// larger than `sizeCap` bytes (0: no cap) is not read at all: false, with
// `*tooLarge` set when given.
bool LoadXmlFile(const std::wstring& fileName, TiXmlDocument& document, unsigned long long sizeCap = 0,
                 bool* tooLarge = nullptr);

// Replaces every child of `element` by one text node holding `text`.
bool SetElementText(TiXmlElement* element, const char* text);

// Fills `table` with every child element of `element`, keyed by name, equal
// names kept in document order.
bool CollectChildElements(TiXmlElement* element, ChildElementTable& table);

// The element's text: its first child when that is a text node, else empty.
std::string ElementText(const TiXmlElement* element);

// Parses downloaded text; a document that fails to parse has no elements.
void ParseXmlText(const std::string& text, TiXmlDocument& document);

}  // namespace zan
