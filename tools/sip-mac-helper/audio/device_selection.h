// Listing and selecting the engine's audio output and input devices.
//
// Lists come from the engine's extended device list filtered by capability,
// in the engine's order, and mark the device in use. Selecting sets both the
// engine's current and default device; for playback it also re-scans the
// platform's devices first, moves a running call or conference to the new
// output, and re-applies the playback gain. Everything taking a core runs on
// the engine queue.
#pragma once

#include <linphone/core.h>

#include <optional>
#include <string>
#include <vector>

#include "bridge/helper_state.h"
#include "bridge/protocol.h"
#include "bridge/work_result.h"

namespace tavirel::audio {

// Capability bits of an engine device.
inline constexpr unsigned kCapabilityRecord = 1;
inline constexpr unsigned kCapabilityPlay = 2;

// What the list needs to know of one engine device.
struct DeviceFacts {
  std::string id;
  std::string name;
  int type = 0;
  unsigned capabilities = 0;
};

// The list entries for `devices` (in that order): those sharing a bit with
// `capabilityMask`, without entries whose id or name is empty, each marked
// current when its id equals `selectedId`. An empty `selectedId` marks none.
std::vector<bridge::AudioDevicePayload> audioDevicePayloads(const std::vector<DeviceFacts>& devices,
                                                            unsigned capabilityMask,
                                                            const std::string& selectedId);

// The same read from the engine: the selected device is `current`, else
// `fallback` (the engine's default), else none. Either may be null.
std::vector<bridge::AudioDevicePayload> audioDevicePayloads(LinphoneCore* core,
                                                            unsigned capabilityMask,
                                                            const LinphoneAudioDevice* current,
                                                            const LinphoneAudioDevice* fallback);

// "devicesJson" texts: playback-capable and record-capable devices; "[]"
// when nothing is listed or the list cannot be encoded.
std::string audioDevicePayloadJson(LinphoneCore* core);
std::string audioInputDevicePayloadJson(LinphoneCore* core);

// Errors: "Audio device is unavailable: <id>" when no playback-capable device
// has that id (the re-scan has happened by then).
WorkResult selectPlaybackDevice(EngineContext& engine, const std::string& deviceId);
// Errors: "Audio input device is unavailable: <id>" when no record-capable
// device has that id. A running call keeps its input as the engine decides.
WorkResult selectCaptureDevice(LinphoneCore* core, const std::string& deviceId);

}  // namespace tavirel::audio
