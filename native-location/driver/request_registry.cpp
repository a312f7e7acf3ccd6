#include "driver/request_registry.h"

#include <utility>

#include "driver/tavirel_location_delegate.h"

namespace tavirel::location {

void RequestRegistry::insert(const std::string& id, std::shared_ptr<TavirelLocationDelegate> request) {
  requests_.insert_or_assign(id, std::move(request));
}

std::shared_ptr<TavirelLocationDelegate> RequestRegistry::find(const std::string& id) const {
  auto it = requests_.find(id);
  return it == requests_.end() ? nullptr : it->second;
}

void RequestRegistry::removeIfSame(const std::string& id, const TavirelLocationDelegate* request) {
  auto it = requests_.find(id);
  if (it != requests_.end() && it->second.get() == request) requests_.erase(it);
}

}  // namespace tavirel::location
