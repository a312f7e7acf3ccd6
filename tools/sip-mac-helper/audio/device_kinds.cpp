#include "audio/device_kinds.h"

#include <array>

namespace tavirel::audio {

std::string_view deviceKindName(int type) {
  // Indexed by the engine's type value. HearingAid (11) is newer than some
  // engine releases; it is listed so a newer engine's devices are named too.
  static constexpr std::array<std::string_view, 12> kNames = {
      "Unknown",   "Microphone", "Earpiece",   "Speaker",   "Bluetooth",  "BluetoothA2DP",
      "Telephony", "AuxLine",    "GenericUsb", "Headset",   "Headphones", "HearingAid",
  };
  if (type < 0 || static_cast<std::size_t>(type) >= kNames.size()) return kNames[0];
  return kNames[static_cast<std::size_t>(type)];
}

}  // namespace tavirel::audio
