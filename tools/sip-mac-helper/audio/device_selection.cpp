#include "audio/device_selection.h"

#include "audio/device_kinds.h"
#include "audio/platform_audio.h"
#include "bridge/engine_queue.h"
#include "bridge/trace.h"

namespace tavirel::audio {
namespace {

std::string text(const char* engineText) { return engineText != nullptr ? engineText : ""; }

DeviceFacts factsOf(const LinphoneAudioDevice* device) {
  return DeviceFacts{text(linphone_audio_device_get_id(device)),
                     text(linphone_audio_device_get_device_name(device)),
                     static_cast<int>(linphone_audio_device_get_type(device)),
                     static_cast<unsigned>(linphone_audio_device_get_capabilities(device))};
}

// The engine's extended device list. The list is ours to free; the devices
// in it are referenced by the list, so they live exactly as long as it does.
class DeviceList {
 public:
  explicit DeviceList(LinphoneCore* core) : list_(linphone_core_get_extended_audio_devices(core)) {}
  ~DeviceList() {
    bctbx_list_free_with_data(list_, reinterpret_cast<bctbx_list_free_func>(linphone_audio_device_unref));
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;

  // The first device with exactly `id` that has `capability`; devices with
  // the id but not the capability are passed over. Valid while this lives.
  LinphoneAudioDevice* find(const std::string& id, unsigned capability) const {
    for (const bctbx_list_t* it = list_; it != nullptr; it = bctbx_list_next(it)) {
      auto* device = static_cast<LinphoneAudioDevice*>(bctbx_list_get_data(it));
      if (text(linphone_audio_device_get_id(device)) == id &&
          (static_cast<unsigned>(linphone_audio_device_get_capabilities(device)) & capability) != 0)
        return device;
    }
    return nullptr;
  }

  std::vector<DeviceFacts> facts() const {
    std::vector<DeviceFacts> all;
    for (const bctbx_list_t* it = list_; it != nullptr; it = bctbx_list_next(it))
      all.push_back(factsOf(static_cast<const LinphoneAudioDevice*>(bctbx_list_get_data(it))));
    return all;
  }

 private:
  bctbx_list_t* list_;
};

}  // namespace

std::vector<bridge::AudioDevicePayload> audioDevicePayloads(const std::vector<DeviceFacts>& devices,
                                                            unsigned capabilityMask,
                                                            const std::string& selectedId) {
  std::vector<bridge::AudioDevicePayload> entries;
  for (const DeviceFacts& device : devices) {
    if ((device.capabilities & capabilityMask) == 0) continue;
    // The peer keys its menu on the id and shows the name; an entry missing
    // either could be neither chosen nor shown.
    if (device.id.empty() || device.name.empty()) continue;
    entries.push_back({device.id, device.name, std::string(deviceKindName(device.type)),
                       !selectedId.empty() && device.id == selectedId});
  }
  return entries;
}

std::vector<bridge::AudioDevicePayload> audioDevicePayloads(LinphoneCore* core,
                                                            unsigned capabilityMask,
                                                            const LinphoneAudioDevice* current,
                                                            const LinphoneAudioDevice* fallback) {
  assertOnEngineQueue();
  const LinphoneAudioDevice* selected = current != nullptr ? current : fallback;
  const std::string selectedId = selected != nullptr ? text(linphone_audio_device_get_id(selected)) : "";
  return audioDevicePayloads(DeviceList(core).facts(), capabilityMask, selectedId);
}

std::string audioDevicePayloadJson(LinphoneCore* core) {
  assertOnEngineQueue();
  return bridge::encodeDeviceList(audioDevicePayloads(core, kCapabilityPlay,
                                                      linphone_core_get_output_audio_device(core),
                                                      linphone_core_get_default_output_audio_device(core)));
}

std::string audioInputDevicePayloadJson(LinphoneCore* core) {
  assertOnEngineQueue();
  return bridge::encodeDeviceList(audioDevicePayloads(core, kCapabilityRecord,
                                                      linphone_core_get_input_audio_device(core),
                                                      linphone_core_get_default_input_audio_device(core)));
}

WorkResult selectPlaybackDevice(EngineContext& engine, const std::string& deviceId) {
  assertOnEngineQueue();
  LinphoneCore* core = engine.core();
  // A headset plugged in a moment ago may not be in the engine's list yet.
  rescanSoundDevices(engine, core);
  const DeviceList devices(core);
  LinphoneAudioDevice* device = devices.find(deviceId, kCapabilityPlay);
  if (device == nullptr) return WorkResult::failed("Audio device is unavailable: " + deviceId);

  linphone_core_set_output_audio_device(core, device);
  linphone_core_set_default_output_audio_device(core, device);
  // The user expects to hear the running call on the device just chosen.
  if (LinphoneCall* call = linphone_core_get_current_call(core)) {  // borrowed
    if (LinphoneConference* conference = linphone_call_get_conference(call))
      linphone_conference_set_output_audio_device(conference, device);
    else
      linphone_call_set_output_audio_device(call, device);
  }
  configurePlaybackGain(core);
  return WorkResult::done();
}

WorkResult selectCaptureDevice(LinphoneCore* core, const std::string& deviceId) {
  assertOnEngineQueue();
  const DeviceList devices(core);
  LinphoneAudioDevice* device = devices.find(deviceId, kCapabilityRecord);
  if (device == nullptr) return WorkResult::failed("Audio input device is unavailable: " + deviceId);

  linphone_core_set_input_audio_device(core, device);
  linphone_core_set_default_input_audio_device(core, device);
  const DeviceFacts facts = factsOf(device);
  bridge::writeDebugLog("[AUDIO_INPUT_DEVICE_TRACE] selected id=" + facts.id + " name=" + facts.name +
                        " type=" + std::string(deviceKindName(facts.type)));
  return WorkResult::done();
}

}  // namespace tavirel::audio
