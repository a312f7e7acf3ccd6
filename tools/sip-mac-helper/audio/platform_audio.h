// Keeping the engine's audio routing in step with the machine: the platform's
// default devices at start, a fixed playback gain whenever a playback device
// is (re)chosen, and re-scanning the engine's devices when the sound server's
// device list changes.
//
// Everything here runs on the engine queue (INITIALIZE, engine callbacks,
// command work items, the device-change listener); the flags it keeps in the
// helper state therefore need no lock. Trace lines go through writeDebugLog.
#pragma once

#include <linphone/core.h>

#include <functional>
#include <string>

#include "bridge/helper_state.h"

namespace tavirel::audio {

// Makes the engine's default output and input the current ones (where they
// exist) and traces their names.
void selectPlatformDefaultAudioDevices(LinphoneCore* core);

// Applies HelperState::playbackGainDb to the engine when there is a playback
// device (the current output, else the default output) and traces it; with
// none, traces that the engine's gain is kept.
void configurePlaybackGain(LinphoneCore* core);

// Re-scans the engine's sound devices unless a re-scan is already running on
// this queue (the re-scan itself can raise a device-list event whose handler
// lands here again).
void reloadSoundDevicesIfNeeded(LinphoneCore* core);
// The guard alone: runs `reload` with `reloading` set, unless it is set.
// Returns whether `reload` ran.
bool reloadSoundDevicesIfNeeded(bool& reloading, const std::function<void()>& reload);

// Subscribes, once per process, to the sound server's device list; each
// change runs deviceListChanged on the engine queue. Without a reachable
// sound server nothing is installed and nothing is reported.
void installAudioDeviceListener(HelperState& state);

// The listener: re-scan (unless one runs) and re-apply the gain. Nothing
// before the engine exists.
void deviceListChanged(HelperState& state);

// The gain as the trace writes it: shortest text that reads back to the same
// float, whole numbers with ".0" ("6.0", "6.5", "-3.0").
std::string formatGainDb(float gainDb);

}  // namespace tavirel::audio
