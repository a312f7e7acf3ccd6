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

// Re-scans `core`'s sound devices unless a re-scan is already running on
// this queue (the re-scan itself can raise a device-list event whose handler
// lands here again). `core` is passed because it may not yet be
// engine.core() while it starts.
void rescanSoundDevices(EngineContext& engine, LinphoneCore* core);
// The guard alone: runs `reload` with `reloading` set, unless it is set.
// Returns whether `reload` ran.
bool reloadSoundDevicesIfNeeded(bool& reloading, const std::function<void()>& reload);

// Subscribes, once per process, to the sound server's device list; each
// change runs deviceListChanged on the engine queue. Without a reachable
// sound server nothing is installed and nothing is reported.
void installAudioDeviceListener(HelperState& state);

// What a new core gets once it has started: the platform defaults, the gain
// and the sound server's device listener.
void engineStarted(HelperState& state, LinphoneCore* core);
// The engine's current device changed: the gain is applied again.
void currentDeviceChanged(HelperState& state, LinphoneCore* core);

// Re-scan `core`'s devices (unless a re-scan runs) and re-apply the gain:
// what both the sound server's and the engine's device-list events do.
void devicesChanged(HelperState& state, LinphoneCore* core);
// The sound server's listener: devicesChanged for the helper's engine;
// nothing before the engine exists.
void deviceListChanged(HelperState& state);

// The gain as the trace writes it: shortest text that reads back to the same
// float, whole numbers with ".0" ("6.0", "6.5", "-3.0").
std::string formatGainDb(float gainDb);

}  // namespace tavirel::audio
