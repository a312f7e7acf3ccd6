#include "driver/tavirel_location_delegate.h"

#include <utility>

#include "driver/request_registry.h"

namespace tavirel::location {

const char* completionCodeText(CompletionCode code) {
  switch (code) {
    case CompletionCode::disabled: return "disabled";
    case CompletionCode::denied: return "denied";
    case CompletionCode::unavailable: return "unavailable";
    case CompletionCode::timeout: return "timeout";
  }
  return "unavailable";
}

std::shared_ptr<TavirelLocationDelegate> TavirelLocationDelegate::initWithRequestId(
    std::string requestId, std::unique_ptr<BackendChannel> backend, std::shared_ptr<LocationService> service,
    DriverContext context) {
  return std::shared_ptr<TavirelLocationDelegate>(
      new TavirelLocationDelegate(std::move(requestId), std::move(backend), std::move(service), context));
}

TavirelLocationDelegate::TavirelLocationDelegate(std::string requestId, std::unique_ptr<BackendChannel> backend,
                                                 std::shared_ptr<LocationService> service, DriverContext context)
    : _requestId(std::move(requestId)),
      _backend(std::move(backend)),
      _service(std::move(service)),
      _context(context),
      _startedAtMillis(context.clock.nowMillisSince1970()) {}

void TavirelLocationDelegate::beginWithTimeoutMillis(std::int64_t timeoutMillis) {
  if (_completed) return;
  if (!_service->locationServicesEnabled()) {
    completeWithCode(CompletionCode::disabled);
    return;
  }
  _manager = _service->createManager(weak_from_this());
  _manager->requestWhenInUseAuthorization();
  handleAuthorization(_manager->authorizationStatus());

  // Armed even when the request has already ended; the task then finds it
  // ended. The task's strong reference keeps a request alive that nothing
  // else holds any more (its id was reused by a newer request).
  if (auto delay = delayFromMillis(timeoutMillis)) {
    _context.mainQueue.postAfter(*delay, [self = shared_from_this()] {
      self->completeWithCode(CompletionCode::timeout);
    });
  }
}

void TavirelLocationDelegate::handleAuthorization(std::int32_t status) {
  if (_completed) return;
  if (!_service->locationServicesEnabled()) {
    completeWithCode(CompletionCode::disabled);
    return;
  }
  switch (status) {
    case authorization::restricted:
    case authorization::denied:
      completeWithCode(CompletionCode::denied);
      break;
    case authorization::authorizedAlways:
      // Sent again on every such report while open; starting twice is
      // harmless to the service.
      _manager->startUpdatingLocation();
      break;
    default:
      // Not determined yet, when-in-use (which does not let us update on
      // this platform), or unknown: wait for a later report or the timeout.
      break;
  }
}

void TavirelLocationDelegate::locationManagerDidChangeAuthorization(LocationManager& manager) {
  handleAuthorization(manager.authorizationStatus());
}

void TavirelLocationDelegate::locationManagerDidUpdateLocations(LocationManager&,
                                                                const std::vector<Location>& locations) {
  for (const Location& location : locations) {
    if (_completed) break;
    // A position stamped exactly at the start instant counts as fresh.
    const char* source = location.timestampMillis < _startedAtMillis ? "cached" : "fresh";
    forwardCandidateWithSource(source, location);
  }
}

void TavirelLocationDelegate::locationManagerDidFailWithError(LocationManager&, int errorCode) {
  if (errorCode == locationError::denied) {
    completeWithCode(_service->locationServicesEnabled() ? CompletionCode::denied : CompletionCode::disabled);
  } else {
    completeWithCode(CompletionCode::unavailable);
  }
}

void TavirelLocationDelegate::forwardCandidateWithSource(const char* source, const Location& location) {
  if (!_backend) return;
  _backend->onNativeCandidate(_requestId, source, location.latitude, location.longitude,
                              location.horizontalAccuracy, location.timestampMillis);
}

void TavirelLocationDelegate::completeWithCode(CompletionCode code) {
  if (_completed) return;
  const auto keepAlive = shared_from_this();  // the registry may hold the last other reference
  markEnded();
  if (!_backend) return;
  _backend->onNativeComplete(_requestId, completionCodeText(code));
  _backend.reset();
}

void TavirelLocationDelegate::cancel() {
  if (_completed) return;
  const auto keepAlive = shared_from_this();
  markEnded();
  _backend.reset();
}

void TavirelLocationDelegate::markEnded() {
  _completed = true;
  if (_manager) _manager->stopUpdatingLocation();
  _context.registry.removeIfSame(_requestId, this);
}

}  // namespace tavirel::location
