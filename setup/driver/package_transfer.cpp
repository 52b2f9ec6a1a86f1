#include "package_transfer.h"

#include <tinyxml.h>

#include <algorithm>

#include "setup/common/log.h"
#include "setup/common/string_util.h"
#include "setup/common/xml_document.h"

namespace zan {
namespace {

// The element's number when it is there and usable; `fallback` otherwise,
// with a line when it is there but unusable.
unsigned ReadSetting(TiXmlDocument& info, const char* path, unsigned most, unsigned fallback) {
  const TiXmlElement* element = FindElementByPath(&info, path);
  if (!element) return fallback;
  const std::wstring text = Utf8ToWide(ElementText(element));
  unsigned long long value = 0;
  if (ParseDecimal(text, &value) && value >= 1 && value <= most) return static_cast<unsigned>(value);
  WriteLog(L"%s is not usable: \"%s\" (1 to %u), %u is used", Utf8ToWide(path).c_str(), text.c_str(), most,
           fallback);
  return fallback;
}

}  // namespace

PackageTransfer ReadPackageTransfer(TiXmlDocument& info) {
  PackageTransfer transfer;
  transfer.span = ReadSetting(info, "soft_info.package.span", CHttpFetchFile::kMaxSpan, transfer.span);
  transfer.workers = ReadSetting(info, "soft_info.package.workers", CHttpFetchFile::kMaxWorkers, transfer.workers);
  return transfer;
}

std::vector<std::wstring> ReadPackageAddresses(TiXmlDocument& info, const std::wstring& url) {
  std::vector<std::wstring> addresses{url};
  const TiXmlElement* package = FindElementByPath(&info, "soft_info.package");
  for (const TiXmlElement* mirror = package ? package->FirstChildElement("mirror") : nullptr; mirror;
       mirror = mirror->NextSiblingElement("mirror")) {
    const std::wstring address = Utf8ToWide(ElementText(mirror));
    if (address.empty() || std::find(addresses.begin(), addresses.end(), address) != addresses.end()) continue;
    addresses.push_back(address);
  }
  return addresses;
}

}  // namespace zan
