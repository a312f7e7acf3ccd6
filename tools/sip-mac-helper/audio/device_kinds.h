// Names of the engine's audio device kinds, as they appear in device lists
// and audio trace lines.
#pragma once

#include <string_view>

namespace tavirel::audio {

// The kind name for an engine device type value (linphone_audio_device_get_type):
// 0 "Unknown", 1 "Microphone", ... 11 "HearingAid". A value the table does not
// know (a newer engine's kind) is named "Unknown" rather than left empty.
std::string_view deviceKindName(int type);

}  // namespace tavirel::audio
