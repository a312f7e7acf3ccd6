#include "audio/device_selection.h"

namespace tavirel::audio {

std::string audioDevicePayloadJson(LinphoneCore*) { return "[]"; }
std::string audioInputDevicePayloadJson(LinphoneCore*) { return "[]"; }
std::optional<std::string> selectPlaybackDevice(LinphoneCore*, const std::string&) { return "not built yet"; }
std::optional<std::string> selectCaptureDevice(LinphoneCore*, const std::string&) { return "not built yet"; }

}  // namespace tavirel::audio
