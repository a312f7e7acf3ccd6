// TavirelLocationDelegate: drives one location request from begin to end.
//
// It asks the location service for permission, streams every reported
// position to the backend as a "cached" or "fresh" candidate, and ends once:
// with a completion code ("disabled", "denied", "unavailable", "timeout") or
// silently when cancelled. After the end nothing more reaches the backend,
// whatever the service reports late.
//
// Main thread only, every method. Always owned through shared_ptr (see
// create()): the pending timeout and the service's callbacks keep it alive
// on their own, as the registry does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/backend_channel.h"
#include "platform/clock.h"
#include "platform/location_service.h"

namespace tavirel::location {

class RequestRegistry;

enum class CompletionCode { disabled, denied, unavailable, timeout };
const char* completionCodeText(CompletionCode code);

// What a request needs from its surroundings. All must outlive the request.
struct DriverContext {
  const Clock& clock;
  Scheduler& mainQueue;
  RequestRegistry& registry;
};

class TavirelLocationDelegate final : public LocationManagerDelegate,
                                      public std::enable_shared_from_this<TavirelLocationDelegate> {
 public:
  // Stamps the start time from the context's clock. A null `backend` makes a
  // request that runs to its end without telling anyone.
  static std::shared_ptr<TavirelLocationDelegate> initWithRequestId(std::string requestId,
                                                                    std::unique_ptr<BackendChannel> backend,
                                                                    std::shared_ptr<LocationService> service,
                                                                    DriverContext context);

  // Starts the request. May end it before returning ("disabled" or
  // "denied"). A timeout too large to represent means the request never
  // times out; zero or negative means it times out at the first chance.
  void beginWithTimeoutMillis(std::int64_t timeoutMillis);

  // Ends the request silently: no completion is reported and the backend is
  // released. No effect once ended.
  void cancel();

  void handleAuthorization(std::int32_t status);

  void locationManagerDidChangeAuthorization(LocationManager& manager) override;
  void locationManagerDidUpdateLocations(LocationManager& manager, const std::vector<Location>& locations) override;
  void locationManagerDidFailWithError(LocationManager& manager, int errorCode) override;

  const std::string& requestId() const { return _requestId; }

 private:
  TavirelLocationDelegate(std::string requestId, std::unique_ptr<BackendChannel> backend,
                          std::shared_ptr<LocationService> service, DriverContext context);

  void forwardCandidateWithSource(const char* source, const Location& location);
  void completeWithCode(CompletionCode code);
  // The part of completion and cancellation that does not involve the JVM.
  void markEnded();

  const std::string _requestId;
  std::unique_ptr<BackendChannel> _backend;  // null once released
  const std::shared_ptr<LocationService> _service;
  const DriverContext _context;
  const std::int64_t _startedAtMillis;
  bool _completed = false;  // set by completion and by cancellation alike
  std::shared_ptr<LocationManager> _manager;
};

}  // namespace tavirel::location
