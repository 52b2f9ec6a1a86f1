#include "build_settings.h"

#include "setup/common/build_config.h"

namespace zan {

const wchar_t* ServerBase() { return ZANSETUP_SERVER_BASE_TEXT; }

const PublisherPins& BuildPins() {
  static const PublisherPins pins = ParsePins(ZANSETUP_PUBLISHER_PINS_TEXT);
  return pins;
}

FileVersion BuildVersion() { return FileVersion{{ZANSETUP_VERSION_NUMBERS}}; }

}  // namespace zan
