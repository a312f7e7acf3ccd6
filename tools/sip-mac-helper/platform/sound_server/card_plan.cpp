#include "platform/sound_server/card_plan.h"

#include <algorithm>
#include <optional>

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

  // Which cards lead: the default source's first when it plays nothing
  // (then the first that plays is still the default sink's), else the
  // default sink's.
  const auto indexOf = [&](auto matches) -> std::optional<std::size_t> {
    for (std::size_t i = 0; i < cards.size(); ++i)
      if (matches(cards[i])) return i;
    return std::nullopt;
  };
  const auto sinkCard = indexOf([&](const CardPlan& c) { return !c.sinkName.empty() && c.sinkName == devices.defaultSink; });
  const auto sourceCard =
      indexOf([&](const CardPlan& c) { return !c.sourceName.empty() && c.sourceName == devices.defaultSource; });
  std::vector<std::size_t> lead;
  if (sourceCard && cards[*sourceCard].sinkName.empty()) lead.push_back(*sourceCard);
  if (sinkCard) lead.push_back(*sinkCard);
  if (sourceCard && std::find(lead.begin(), lead.end(), *sourceCard) == lead.end()) lead.push_back(*sourceCard);
  std::vector<CardPlan> ordered;
  for (const std::size_t i : lead) ordered.push_back(cards[i]);
  for (std::size_t i = 0; i < cards.size(); ++i)
    if (std::find(lead.begin(), lead.end(), i) == lead.end()) ordered.push_back(std::move(cards[i]));
  return ordered;
}

}  // namespace tavirel::platform
