// Test doubles for the driver: hand-driven time, a scriptable location
// service and a backend that records what reaches it.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver/backend_channel.h"
#include "platform/clock.h"
#include "platform/location_service.h"

namespace tavirel::location::fakes {

// Wall clock and main-queue timer in one: time moves only in advance().
class FakeTime final : public Clock, public Scheduler {
 public:
  explicit FakeTime(std::int64_t startMillis) : nowMillis_(startMillis) {}

  std::int64_t nowMillisSince1970() const override { return nowMillis_; }

  void postAfter(std::chrono::nanoseconds delay, Task task) override {
    if (delay < std::chrono::nanoseconds::zero()) delay = std::chrono::nanoseconds::zero();
    pending_.emplace(std::pair{elapsed_ + delay, sequence_++}, std::move(task));
  }

  // Runs every task falling due within `by`, in due order, with the clock
  // showing each task's due time.
  void advance(std::chrono::milliseconds by) {
    const auto end = elapsed_ + std::chrono::duration_cast<std::chrono::nanoseconds>(by);
    while (!pending_.empty() && pending_.begin()->first.first <= end) {
      auto node = pending_.extract(pending_.begin());
      moveTo(node.key().first);
      node.mapped()();
    }
    moveTo(end);
  }

  std::size_t pendingCount() const { return pending_.size(); }
  // Delay of the earliest pending task, relative to now.
  std::chrono::nanoseconds nextDelay() const { return pending_.begin()->first.first - elapsed_; }

 private:
  void moveTo(std::chrono::nanoseconds at) {
    nowMillis_ += std::chrono::duration_cast<std::chrono::milliseconds>(at - elapsed_).count();
    elapsed_ = at;
  }

  std::int64_t nowMillis_;
  std::chrono::nanoseconds elapsed_{0};
  std::uint64_t sequence_ = 0;
  std::map<std::pair<std::chrono::nanoseconds, std::uint64_t>, Task> pending_;
};

// A location service the test plays by hand. Unlike a well-behaved platform
// it reports whatever the test says, also after updates were stopped, so
// tests can check the driver's own guards.
class FakeLocationService final : public LocationService {
 public:
  class Manager final : public LocationManager {
   public:
    explicit Manager(FakeLocationService& service) : service_(service) {}
    void requestWhenInUseAuthorization() override { ++service_.authorizationRequests; }
    std::int32_t authorizationStatus() const override { return service_.status; }
    void startUpdatingLocation() override {
      ++service_.startCount;
      service_.updating = true;
    }
    void stopUpdatingLocation() override { service_.updating = false; }

   private:
    FakeLocationService& service_;
  };

  bool locationServicesEnabled() const override { return enabled; }
  std::shared_ptr<LocationManager> createManager(std::weak_ptr<LocationManagerDelegate> d) override {
    ++managersCreated;
    delegate = std::move(d);
    manager = std::make_shared<Manager>(*this);
    return manager;
  }

  void reportStatus(std::int32_t newStatus) {
    status = newStatus;
    if (auto d = delegate.lock()) d->locationManagerDidChangeAuthorization(*manager);
  }
  void deliver(std::vector<Location> locations) {
    if (auto d = delegate.lock()) d->locationManagerDidUpdateLocations(*manager, locations);
  }
  void fail(int code) {
    if (auto d = delegate.lock()) d->locationManagerDidFailWithError(*manager, code);
  }

  bool enabled = true;
  std::int32_t status = authorization::notDetermined;
  int managersCreated = 0;
  int authorizationRequests = 0;
  int startCount = 0;
  bool updating = false;
  std::weak_ptr<LocationManagerDelegate> delegate;
  std::shared_ptr<Manager> manager;
};

// What reached the backend, in order; "released" marks the channel's end.
struct BackendLog {
  struct Candidate {
    std::string id, source;
    double latitude, longitude, accuracy;
    std::int64_t observedAt;
  };
  std::vector<Candidate> candidates;
  std::vector<std::string> completions;  // codes
  std::vector<std::string> order;        // "candidate", "complete:<code>", "released"
  bool released = false;
};

class RecordingBackend final : public BackendChannel {
 public:
  explicit RecordingBackend(std::shared_ptr<BackendLog> log) : log_(std::move(log)) {}
  ~RecordingBackend() override {
    log_->released = true;
    log_->order.push_back("released");
  }
  void onNativeCandidate(const std::string& id, const char* source, double latitude, double longitude,
                         double accuracy, std::int64_t observedAt) override {
    log_->candidates.push_back({id, source, latitude, longitude, accuracy, observedAt});
    log_->order.push_back("candidate");
  }
  void onNativeComplete(const std::string&, const char* code) override {
    log_->completions.push_back(code);
    log_->order.push_back(std::string("complete:") + code);
  }

 private:
  std::shared_ptr<BackendLog> log_;
};

}  // namespace tavirel::location::fakes
