// Which sound cards the engine is shown for the sound server's devices: a
// pure decision, kept apart from the server and the engine so a plain test
// can reach it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tavirel::platform {

struct ServerDevice {
  std::string name;         // the server's own name, used to open streams
  std::string description;  // what people see, and the card's name
  friend bool operator==(const ServerDevice&, const ServerDevice&) = default;
};

struct ServerDevices {
  std::vector<ServerDevice> sinks;    // in the server's order
  std::vector<ServerDevice> sources;  // monitors of sinks left out
  std::string defaultSink;            // the server's defaults, by name; empty when unknown
  std::string defaultSource;
  friend bool operator==(const ServerDevices&, const ServerDevices&) = default;
};

struct CardPlan {
  std::string name;
  std::string sinkName;    // empty for a capture-only card
  std::string sourceName;  // empty for a playback-only card
};

// Card names are cut to this many bytes, as the engine's own sound-server
// module cuts them, so device ids stay the ones applications already know.
inline constexpr std::size_t kCardNameLimit = 255;

// One card per sink, joined with the first source of the same description
// (a headset's two halves); then one card per source left over. The engine
// takes the first card that plays and the first that records as its
// defaults, so the cards of the server's default sink and source come
// first: the default source's card ahead when it plays nothing, else the
// default sink's (a default sink and source on two different headsets
// cannot both lead; the sink wins).
std::vector<CardPlan> planCards(const ServerDevices& devices);

}  // namespace tavirel::platform
