#include "audio/platform_audio.h"

#include <charconv>

#include "audio/device_kinds.h"
#include "bridge/engine_queue.h"
#include "bridge/trace.h"

namespace tavirel::audio {
namespace {

std::string deviceName(const LinphoneAudioDevice* device) {
  if (!device) return {};
  const char* name = linphone_audio_device_get_device_name(device);
  return name ? name : "";
}

std::string deviceId(const LinphoneAudioDevice* device) {
  const char* id = linphone_audio_device_get_id(device);
  return id ? id : "";
}

}  // namespace

std::string formatGainDb(float gainDb) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, gainDb);
  std::string text(buffer, result.ptr);
  // Plain integers get ".0"; exponent forms, inf and nan stay as they are.
  if (text.find_first_not_of("-0123456789") == std::string::npos) text += ".0";
  return text;
}

void selectPlatformDefaultAudioDevices(LinphoneCore* core) {
  assertOnEngineQueue();
  // Borrowed; the setters take a non-const pointer but only add a reference.
  const LinphoneAudioDevice* output = linphone_core_get_default_output_audio_device(core);
  const LinphoneAudioDevice* input = linphone_core_get_default_input_audio_device(core);
  if (output) linphone_core_set_output_audio_device(core, const_cast<LinphoneAudioDevice*>(output));
  if (input) linphone_core_set_input_audio_device(core, const_cast<LinphoneAudioDevice*>(input));
  bridge::writeDebugLog("[AUDIO_DEVICE_TRACE] initialized platform defaults output=" + deviceName(output) +
                        " input=" + deviceName(input));
}

void configurePlaybackGain(LinphoneCore* core) {
  assertOnEngineQueue();
  const LinphoneAudioDevice* device = linphone_core_get_output_audio_device(core);  // borrowed
  if (!device) device = linphone_core_get_default_output_audio_device(core);
  if (!device) {
    bridge::writeDebugLog("[AUDIO_GAIN_TRACE] playback device unavailable; keeping Linphone default gain");
    return;
  }
  // The engine takes the gain for all playback, not per device.
  linphone_core_set_playback_gain_db(core, HelperState::playbackGainDb);
  bridge::writeDebugLog("[AUDIO_GAIN_TRACE] deviceName=" + deviceName(device) +
                        " type=" + std::string(deviceKindName(linphone_audio_device_get_type(device))) +
                        " id=" + deviceId(device) + " gainDb=" + formatGainDb(HelperState::playbackGainDb));
}

bool reloadSoundDevicesIfNeeded(bool& reloading, const std::function<void()>& reload) {
  if (reloading) return false;
  reloading = true;
  reload();
  reloading = false;
  return true;
}

void rescanSoundDevices(EngineContext& engine, LinphoneCore* core) {
  assertOnEngineQueue();
  reloadSoundDevicesIfNeeded(engine.reloadingSoundDevices, [core] { linphone_core_reload_sound_devices(core); });
}

void devicesChanged(HelperState& state, LinphoneCore* core) {
  rescanSoundDevices(state.engine, core);
  configurePlaybackGain(core);
}

void deviceListChanged(HelperState& state) {
  if (LinphoneCore* core = state.engine.core()) devicesChanged(state, core);
}

void engineStarted(HelperState& state, LinphoneCore* core) {
  assertOnEngineQueue();
  selectPlatformDefaultAudioDevices(core);
  configurePlaybackGain(core);
  installAudioDeviceListener(state);
}

void currentDeviceChanged(HelperState&, LinphoneCore* core) { configurePlaybackGain(core); }

void installAudioDeviceListener(HelperState& state) {
  EngineContext& engine = state.engine;
  if (engine.audioDeviceWatch) return;  // once per process
  engine.audioDeviceListenerBlock = [&state] { deviceListChanged(state); };
  engine.audioDeviceWatch = platform::AudioDeviceWatch::install(state.sipQueue, engine.audioDeviceListenerBlock);
  if (!engine.audioDeviceWatch) {
    // No sound server: device changes are then seen only through the
    // engine's own events.
    engine.audioDeviceListenerBlock = nullptr;
  }
}

}  // namespace tavirel::audio
