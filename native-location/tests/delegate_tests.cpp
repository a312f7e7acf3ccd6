// The request driver against a scripted location service and hand-driven
// time: permission outcomes, candidate labelling, the single completion, and
// silence after the end.
#include <gtest/gtest.h>

#include <limits>

#include "driver/request_registry.h"
#include "driver/tavirel_location_delegate.h"
#include "tests/fakes.h"

namespace tavirel::location {
namespace {

using namespace std::chrono_literals;
using fakes::BackendLog;
using fakes::FakeLocationService;
using fakes::FakeTime;
using fakes::RecordingBackend;
using Strings = std::vector<std::string>;

constexpr std::int64_t kStart = 1'700'000'000'123;

class DelegateTest : public ::testing::Test {
 protected:
  // Creates, registers and begins a request as the start task does.
  std::shared_ptr<TavirelLocationDelegate> start(const std::string& id, std::int64_t timeoutMillis,
                                                 std::shared_ptr<BackendLog> log) {
    auto request = TavirelLocationDelegate::initWithRequestId(id, std::make_unique<RecordingBackend>(log), service,
                                                              DriverContext{time, time, registry});
    registry.insert(id, request);
    request->beginWithTimeoutMillis(timeoutMillis);
    return request;
  }
  std::shared_ptr<TavirelLocationDelegate> start(std::int64_t timeoutMillis) { return start("r1", timeoutMillis, log); }

  FakeTime time{kStart};
  std::shared_ptr<FakeLocationService> service = std::make_shared<FakeLocationService>();
  RequestRegistry registry;
  std::shared_ptr<BackendLog> log = std::make_shared<BackendLog>();
};

Location at(std::int64_t stamp, double latitude = 1.5, double longitude = 2.5, double accuracy = 10) {
  return Location{latitude, longitude, accuracy, stamp};
}

TEST_F(DelegateTest, PositionAtTheStartInstantIsFreshAndOneMillisecondEarlierIsCached) {
  service->status = authorization::authorizedAlways;
  start(10'000);
  ASSERT_TRUE(service->updating);

  service->deliver({at(kStart - 1), at(kStart), at(kStart - 3'600'000), at(kStart + 7)});

  ASSERT_EQ(log->candidates.size(), 4u);
  Strings sources;
  for (const auto& c : log->candidates) sources.push_back(c.source);
  EXPECT_EQ(sources, (Strings{"cached", "fresh", "cached", "fresh"}));
  EXPECT_EQ(log->candidates[0].observedAt, kStart - 1);
  EXPECT_EQ(log->candidates[3].observedAt, kStart + 7);
  EXPECT_EQ(log->candidates[0].id, "r1");
}

TEST_F(DelegateTest, ServicesOffAtBeginCompletesDisabledWithoutManagerOrTimeout) {
  service->enabled = false;
  start(10'000);

  EXPECT_EQ(log->order, (Strings{"complete:disabled", "released"}));
  EXPECT_EQ(service->managersCreated, 0);
  EXPECT_EQ(time.pendingCount(), 0u);
  EXPECT_EQ(registry.size(), 0u);
}

TEST_F(DelegateTest, RefusedPermissionIsDeniedDuringBeginAndItsTimeoutLaterSaysNothing) {
  for (std::int32_t status : {authorization::restricted, authorization::denied}) {
    SCOPED_TRACE(status);
    auto statusLog = std::make_shared<BackendLog>();
    service->status = status;
    start("r" + std::to_string(status), 100, statusLog);

    EXPECT_EQ(statusLog->order, (Strings{"complete:denied", "released"}));
    EXPECT_EQ(service->authorizationRequests, status);  // asked once per request, whatever the status
    EXPECT_EQ(time.pendingCount(), 1u);                 // the timeout is still armed...
    time.advance(100ms);
    EXPECT_EQ(statusLog->order, (Strings{"complete:denied", "released"}));  // ...and finds it ended
  }
  EXPECT_EQ(registry.size(), 0u);
}

TEST_F(DelegateTest, UndecidedOrInsufficientPermissionEndsWithTimeout) {
  for (std::int32_t status : {authorization::notDetermined, authorization::authorizedWhenInUse, 99}) {
    SCOPED_TRACE(status);
    auto statusLog = std::make_shared<BackendLog>();
    service->status = status;
    service->startCount = 0;
    start("r" + std::to_string(status), 250, statusLog);
    service->reportStatus(status);

    time.advance(249ms);
    EXPECT_TRUE(statusLog->order.empty());
    time.advance(1ms);
    EXPECT_EQ(statusLog->order, (Strings{"complete:timeout", "released"}));
    EXPECT_EQ(service->startCount, 0);
  }
}

TEST_F(DelegateTest, PermissionGrantedLaterStartsUpdatesAndEveryGrantRestartsThem) {
  start(10'000);
  EXPECT_EQ(service->startCount, 0);
  service->reportStatus(authorization::authorizedAlways);
  EXPECT_EQ(service->startCount, 1);
  service->deliver({at(kStart + 60)});
  service->reportStatus(authorization::authorizedAlways);
  EXPECT_EQ(service->startCount, 2);

  ASSERT_EQ(log->candidates.size(), 1u);
  EXPECT_EQ(log->candidates[0].source, "fresh");
}

TEST_F(DelegateTest, PermissionRevokedOrServicesSwitchedOffWhileUpdatingEndTheRequest) {
  service->status = authorization::authorizedAlways;
  start(10'000);
  service->reportStatus(authorization::denied);
  EXPECT_EQ(log->completions, (Strings{"denied"}));
  EXPECT_FALSE(service->updating);

  auto second = std::make_shared<BackendLog>();
  service->status = authorization::authorizedAlways;
  start("r2", 10'000, second);
  service->enabled = false;
  service->reportStatus(authorization::authorizedAlways);
  EXPECT_EQ(second->completions, (Strings{"disabled"}));
}

TEST_F(DelegateTest, NothingReachesTheBackendAfterCompletion) {
  service->status = authorization::authorizedAlways;
  start(1'000);
  service->fail(locationError::locationUnknown);
  EXPECT_FALSE(service->updating);

  service->deliver({at(kStart + 1)});
  service->reportStatus(authorization::denied);
  service->fail(locationError::denied);
  time.advance(5s);
  EXPECT_EQ(registry.find("r1"), nullptr);

  EXPECT_EQ(log->order, (Strings{"complete:unavailable", "released"}));
  EXPECT_EQ(registry.size(), 0u);
}

TEST_F(DelegateTest, CancelEndsSilentlyAndNothingFollows) {
  service->status = authorization::authorizedAlways;
  auto request = start(1'000);
  service->deliver({at(kStart + 1)});
  request->cancel();

  EXPECT_EQ(log->order, (Strings{"candidate", "released"}));
  EXPECT_FALSE(service->updating);
  EXPECT_EQ(registry.size(), 0u);

  request->cancel();
  service->deliver({at(kStart + 2), at(kStart + 3)});
  service->fail(0);
  time.advance(5s);
  EXPECT_EQ(log->order, (Strings{"candidate", "released"}));
}

TEST(TimeoutArithmetic, SaturatesInsteadOfOverflowing) {
  using std::chrono::nanoseconds;
  constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t largestExact = max / 1'000'000;
  EXPECT_EQ(delayFromMillis(0), nanoseconds{0});
  EXPECT_EQ(delayFromMillis(-5), nanoseconds{0});
  EXPECT_EQ(delayFromMillis(std::numeric_limits<std::int64_t>::min()), nanoseconds{0});
  EXPECT_EQ(delayFromMillis(1), nanoseconds{1'000'000});
  EXPECT_EQ(delayFromMillis(largestExact), nanoseconds{largestExact * 1'000'000});
  EXPECT_EQ(delayFromMillis(largestExact + 1), std::nullopt);
  EXPECT_EQ(delayFromMillis(max), std::nullopt);
}

TEST_F(DelegateTest, HugeTimeoutMeansNeverNotAtOnce) {
  start("huge", std::numeric_limits<std::int64_t>::max(), log);
  EXPECT_EQ(time.pendingCount(), 0u);
  time.advance(std::chrono::hours(24 * 365));
  EXPECT_TRUE(log->order.empty());
  ASSERT_NE(registry.find("huge"), nullptr);
  registry.find("huge")->cancel();
  EXPECT_EQ(log->order, (Strings{"released"}));
}

TEST_F(DelegateTest, ZeroOrNegativeTimeoutFiresAtTheFirstChance) {
  for (std::int64_t timeout : {0, -1}) {
    auto caseLog = std::make_shared<BackendLog>();
    start("t" + std::to_string(timeout), timeout, caseLog);
    EXPECT_TRUE(caseLog->order.empty());  // not during begin
    EXPECT_EQ(time.nextDelay(), std::chrono::nanoseconds{0});
    time.advance(0ms);
    EXPECT_EQ(caseLog->completions, (Strings{"timeout"}));
  }
}

TEST_F(DelegateTest, EndingRequestLeavesANewerRequestWithTheSameIdCancellable) {
  auto firstLog = std::make_shared<BackendLog>();
  auto secondLog = std::make_shared<BackendLog>();
  start("same", 100, firstLog);
  auto second = start("same", 300, secondLog);
  ASSERT_EQ(registry.find("same"), second);

  time.advance(100ms);  // the first times out on its own
  EXPECT_EQ(firstLog->completions, (Strings{"timeout"}));
  ASSERT_EQ(registry.find("same"), second);

  registry.find("same")->cancel();  // what the cancel task does
  time.advance(1s);
  EXPECT_EQ(secondLog->order, (Strings{"released"}));
}

TEST_F(DelegateTest, ReplacedRequestLivesOnUntilItsOwnEnd) {
  service->status = authorization::authorizedAlways;
  auto firstLog = std::make_shared<BackendLog>();
  start("same", 100, firstLog);  // the test keeps no reference: only its timeout does
  start("same", 300, std::make_shared<BackendLog>());

  service->deliver({at(kStart)});  // the service reports to the newest manager only
  time.advance(100ms);
  EXPECT_EQ(firstLog->order, (Strings{"complete:timeout", "released"}));
}

TEST_F(DelegateTest, RequestWithoutBackendRunsToItsEnd) {
  service->status = authorization::authorizedAlways;
  auto request = TavirelLocationDelegate::initWithRequestId("nobody", nullptr, service,
                                                            DriverContext{time, time, registry});
  registry.insert("nobody", request);
  request->beginWithTimeoutMillis(50);
  service->deliver({at(kStart)});
  time.advance(50ms);
  EXPECT_EQ(registry.size(), 0u);
  EXPECT_FALSE(service->updating);
}

}  // namespace
}  // namespace tavirel::location
