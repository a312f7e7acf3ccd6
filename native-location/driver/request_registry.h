// RequestRegistry: the running requests by request id.
//
// Main thread only, so nothing is locked. The key is the id exactly as the
// JVM handed it over (modified UTF-8 bytes), not a decoded string: every id
// the JVM can send is then a distinct, valid key, including ids with U+0000
// or characters outside the Basic Multilingual Plane.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

namespace tavirel::location {

class TavirelLocationDelegate;

class RequestRegistry {
 public:
  // Registers `request` under `id`, replacing (not cancelling) whatever was
  // there.
  void insert(const std::string& id, std::shared_ptr<TavirelLocationDelegate> request);

  // The request registered under `id`, or null.
  std::shared_ptr<TavirelLocationDelegate> find(const std::string& id) const;

  // Removes the entry under `id` only if it is `request`. An ending request
  // must not take a newer request that reused its id out of the registry:
  // that one could then no longer be cancelled.
  void removeIfSame(const std::string& id, const TavirelLocationDelegate* request);

  std::size_t size() const { return requests_.size(); }

 private:
  std::unordered_map<std::string, std::shared_ptr<TavirelLocationDelegate>> requests_;
};

}  // namespace tavirel::location
