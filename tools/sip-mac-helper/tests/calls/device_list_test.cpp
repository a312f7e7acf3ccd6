// The device list rule, without an engine: which devices a list shows and
// which one it marks as in use.
#include <gtest/gtest.h>

#include "audio/device_selection.h"

namespace tavirel::bridge {
// Found by argument-dependent lookup from the vector comparisons below.
bool operator==(const AudioDevicePayload& a, const AudioDevicePayload& b) {
  return a.id == b.id && a.name == b.name && a.type == b.type && a.current == b.current;
}

void PrintTo(const AudioDevicePayload& d, std::ostream* out) {
  *out << "{" << d.id << ", " << d.name << ", " << d.type << ", " << (d.current ? "current" : "-")
       << "}";
}
}  // namespace tavirel::bridge

namespace tavirel::audio {
namespace {

using bridge::AudioDevicePayload;

constexpr unsigned kBoth = kCapabilityRecord | kCapabilityPlay;

const std::vector<DeviceFacts> kDevices = {
    {"pulse: Speakers", "Speakers", 3, kCapabilityPlay},
    {"pulse: Mic", "Mic", 1, kCapabilityRecord},
    {"alsa: default", "default", 0, kBoth},
    {"pulse: Headset", "Headset", 9, kBoth},
};

TEST(DeviceList, FiltersByCapabilityAndKeepsEngineOrder) {
  EXPECT_EQ(audioDevicePayloads(kDevices, kCapabilityPlay, "alsa: default"),
            (std::vector<AudioDevicePayload>{{"pulse: Speakers", "Speakers", "Speaker", false},
                                             {"alsa: default", "default", "Unknown", true},
                                             {"pulse: Headset", "Headset", "Headset", false}}));
  EXPECT_EQ(audioDevicePayloads(kDevices, kCapabilityRecord, "pulse: Mic"),
            (std::vector<AudioDevicePayload>{{"pulse: Mic", "Mic", "Microphone", true},
                                             {"alsa: default", "default", "Unknown", false},
                                             {"pulse: Headset", "Headset", "Headset", false}}));
}

TEST(DeviceList, DropsNamelessOrIdlessDevicesEvenWhenSelected) {
  const std::vector<DeviceFacts> devices = {
      {"pulse: ", "", 3, kCapabilityPlay},
      {"", "Ghost", 3, kCapabilityPlay},
      {"pulse: Real", "Real", 3, kCapabilityPlay},
  };
  EXPECT_EQ(audioDevicePayloads(devices, kCapabilityPlay, "pulse: "),
            (std::vector<AudioDevicePayload>{{"pulse: Real", "Real", "Speaker", false}}));
  // An empty selected id must not mark anything, also not an id-less device.
  EXPECT_EQ(audioDevicePayloads(devices, kCapabilityPlay, ""),
            (std::vector<AudioDevicePayload>{{"pulse: Real", "Real", "Speaker", false}}));
}

TEST(DeviceList, SelectionIsExactAndMarksEveryDuplicate) {
  const std::vector<DeviceFacts> devices = {
      {"pulse: Out", "Out", 3, kCapabilityPlay},
      {"pulse: Out ", "Out trailing", 3, kCapabilityPlay},
      {"pulse: Out", "Out again", 3, kCapabilityPlay},
  };
  const auto list = audioDevicePayloads(devices, kCapabilityPlay, "pulse: Out");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_TRUE(list[0].current);
  EXPECT_FALSE(list[1].current);
  EXPECT_TRUE(list[2].current);
}

TEST(DeviceList, NoUsableDeviceEncodesAsEmptyArray) {
  EXPECT_EQ(bridge::encodeDeviceList(audioDevicePayloads({}, kCapabilityPlay, "")), "[]");
  EXPECT_EQ(bridge::encodeDeviceList(
                audioDevicePayloads({{"pulse: Mic", "Mic", 1, kCapabilityRecord}}, kCapabilityPlay, "")),
            "[]");
}

}  // namespace
}  // namespace tavirel::audio
