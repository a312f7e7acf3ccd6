// Listing and selecting audio devices. All run on the engine queue.
#pragma once

#include <linphone/core.h>

#include <optional>
#include <string>

namespace tavirel::audio {

// "devicesJson" texts: playback-capable and record-capable devices.
std::string audioDevicePayloadJson(LinphoneCore* core);
std::string audioInputDevicePayloadJson(LinphoneCore* core);

std::optional<std::string> selectPlaybackDevice(LinphoneCore* core, const std::string& deviceId);
std::optional<std::string> selectCaptureDevice(LinphoneCore* core, const std::string& deviceId);

}  // namespace tavirel::audio
