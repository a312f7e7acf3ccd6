// Which cards the engine is shown for the sound server's devices, and how
// patiently the connection retries: decisions with no server or engine.
#include <gtest/gtest.h>

#include "platform/sound_server/card_plan.h"
#include "platform/sound_server/pulse_connection.h"

namespace tavirel::platform {
namespace {

using namespace std::chrono_literals;

TEST(SoundCards, HalvesOfOneDeviceJoinAndTheRestStandAlone) {
  const ServerDevices devices{
      {{"sink.headset", "USB Headset"}, {"sink.speakers", "Speakers"}, {"sink.hdmi", "HDMI"}},
      {{"source.mic", "Built-in Mic"}, {"source.headset", "USB Headset"}, {"source.headset2", "USB Headset"}}};
  const auto cards = planCards(devices);
  ASSERT_EQ(cards.size(), 5u);
  EXPECT_EQ(cards[0].name, "USB Headset");
  EXPECT_EQ(cards[0].sinkName, "sink.headset");
  EXPECT_EQ(cards[0].sourceName, "source.headset");  // the first twin only
  EXPECT_EQ(cards[1].sourceName, "");
  EXPECT_EQ(cards[2].name, "HDMI");
  // Sources left over follow, in the server's order, as capture-only cards.
  EXPECT_EQ(cards[3].name, "Built-in Mic");
  EXPECT_EQ(cards[3].sinkName, "");
  EXPECT_EQ(cards[4].sourceName, "source.headset2");
  EXPECT_TRUE(planCards({}).empty());
}

// The engine's defaults are its first card that plays and its first that
// records: the server's defaults must be those.
TEST(SoundCards, TheServersDefaultsLeadSoTheEngineTakesThem) {
  const auto names = [](const std::vector<CardPlan>& cards) {
    std::vector<std::string> list;
    for (const CardPlan& card : cards) list.push_back(card.name);
    return list;
  };
  ServerDevices devices{{{"sink.speakers", "Speakers"}, {"sink.headset", "USB Headset"}},
                        {{"source.mic", "Built-in Mic"}, {"source.headset", "USB Headset"}, {"source.cam", "Webcam"}}};
  EXPECT_EQ(names(planCards(devices)), (std::vector<std::string>{"Speakers", "USB Headset", "Built-in Mic", "Webcam"}));

  devices.defaultSink = "sink.headset";
  devices.defaultSource = "source.headset";
  EXPECT_EQ(names(planCards(devices)), (std::vector<std::string>{"USB Headset", "Speakers", "Built-in Mic", "Webcam"}));

  // A microphone of its own leads, and the default speaker is still the
  // first card that plays.
  devices.defaultSink = "sink.speakers";
  devices.defaultSource = "source.cam";
  EXPECT_EQ(names(planCards(devices)), (std::vector<std::string>{"Webcam", "Speakers", "USB Headset", "Built-in Mic"}));

  // Default sink and source on two different cards that both play: the
  // sink's leads.
  devices.defaultSource = "source.headset";
  EXPECT_EQ(names(planCards(devices)), (std::vector<std::string>{"Speakers", "USB Headset", "Built-in Mic", "Webcam"}));

  // Defaults the lists do not hold (a monitor, a device just gone) change nothing.
  devices.defaultSink = "sink.gone";
  devices.defaultSource = "sink.speakers.monitor";
  EXPECT_EQ(names(planCards(devices)), (std::vector<std::string>{"Speakers", "USB Headset", "Built-in Mic", "Webcam"}));
}

TEST(SoundCards, LongNamesAreCutWhereTheEngineCutsThemAndStillJoin) {
  const std::string longName(300, 'x');
  const auto cards = planCards({{{"sink", longName}}, {{"source", longName.substr(0, 260)}}});
  ASSERT_EQ(cards.size(), 1u);
  EXPECT_EQ(cards[0].name.size(), kCardNameLimit);
  EXPECT_EQ(cards[0].sourceName, "source");
}

TEST(SoundServerConnection, RetriesBackOffToACapAndNeverSpin) {
  EXPECT_EQ(PulseConnection::retryDelay(0), 100ms);
  EXPECT_EQ(PulseConnection::retryDelay(1), 100ms);
  EXPECT_EQ(PulseConnection::retryDelay(2), 200ms);
  EXPECT_EQ(PulseConnection::retryDelay(5), 1600ms);
  EXPECT_EQ(PulseConnection::retryDelay(6), 2000ms);
  EXPECT_EQ(PulseConnection::retryDelay(1000), 2000ms);
}

}  // namespace
}  // namespace tavirel::platform
