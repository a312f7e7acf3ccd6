#include "platform/sound_server/card_plan.h"

#include <algorithm>

namespace tavirel::platform {
namespace {

std::string cardName(const std::string& description) { return description.substr(0, kCardNameLimit); }

}  // namespace

std::vector<CardPlan> planCards(const ServerDevices& devices) {
  std::vector<CardPlan> cards;
  std::vector<const ServerDevice*> sources;
  for (const ServerDevice& source : devices.sources) sources.push_back(&source);

  for (const ServerDevice& sink : devices.sinks) {
    CardPlan card{cardName(sink.description), sink.name, {}};
    const auto twin = std::find_if(sources.begin(), sources.end(), [&](const ServerDevice* source) {
      return cardName(source->description) == card.name;
    });
    if (twin != sources.end()) {
      card.sourceName = (*twin)->name;
      sources.erase(twin);
    }
    cards.push_back(std::move(card));
  }
  for (const ServerDevice* source : sources) cards.push_back({cardName(source->description), {}, source->name});
  return cards;
}

}  // namespace tavirel::platform
