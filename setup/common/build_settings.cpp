#include "build_settings.h"

#include "setup/common/build_config.h"

namespace zan {

const wchar_t* ServerBase() { return ZANSETUP_SERVER_BASE_TEXT; }

const PublisherPins& BuildPins() {
  static const PublisherPins pins = ParsePins(ZANSETUP_PUBLISHER_PINS_TEXT);
  return pins;
}

const wchar_t* UpdateDocumentPath() { return ZANSETUP_UPDATE_DOCUMENT; }

FileVersion BuildVersion() { return FileVersion{{ZANSETUP_VERSION_NUMBERS}}; }

}  // namespace zan
