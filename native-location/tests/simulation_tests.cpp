// Scenario files and the simulated location service: what a scenario means,
// what makes one unusable, and how its events replay to a request.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <variant>

#include "platform/location_service.h"
#include "platform/scenario.h"
#include "platform/simulated_location_service.h"
#include "tests/fakes.h"

namespace tavirel::location {
namespace {

using namespace std::chrono_literals;
using fakes::FakeTime;

Scenario parsed(const std::string& text, const std::string& id = "r1") {
  auto result = parseScenario(text, id);
  if (auto* problem = std::get_if<std::string>(&result)) ADD_FAILURE() << *problem;
  return std::get_if<Scenario>(&result) ? std::get<Scenario>(result) : Scenario{};
}

std::string problemWith(const std::string& text, const std::string& id = "r1") {
  auto result = parseScenario(text, id);
  return std::holds_alternative<std::string>(result) ? std::get<std::string>(result) : "(accepted)";
}

TEST(Scenario, RequestEntryReplacesTheTopLevelWholly) {
  const std::string text = R"({"servicesEnabled": false, "authorizationStatus": 2,
      "events": [{"atMs": 1, "error": 0}],
      "requests": {"special": {"authorizationStatus": 3}}})";
  Scenario special = parsed(text, "special");
  EXPECT_TRUE(special.servicesEnabled);  // the default, not the top level's false
  EXPECT_EQ(special.authorizationStatus, 3);
  EXPECT_TRUE(special.events.empty());

  Scenario other = parsed(text, "other");
  EXPECT_FALSE(other.servicesEnabled);
  EXPECT_EQ(other.authorizationStatus, 2);
  EXPECT_EQ(other.events.size(), 1u);

  Scenario empty = parsed("{}");
  EXPECT_TRUE(empty.servicesEnabled);
  EXPECT_EQ(empty.authorizationStatus, 0);
}

TEST(Scenario, RejectsWhatWouldOtherwiseScriptSomethingElse) {
  struct Case {
    const char* text;
    const char* mentions;
  };
  for (const Case& c : {
           Case{"{", "JSON"},
           Case{"[]", "must be an object"},
           Case{R"({"servicesEnabled": "yes"})", "servicesEnabled"},
           Case{R"({"event": []})", "unknown key \"event\""},
           Case{R"({"events": {}})", "\"events\" must be an array"},
           Case{R"({"events": [{"authorizationStatus": 3}]})", "\"atMs\" is missing"},
           Case{R"({"events": [{"atMs": -1, "error": 0}]})", "negative"},
           Case{R"({"events": [{"atMs": 1.5, "error": 0}]})", "integer"},
           Case{R"({"events": [{"atMs": 1}]})", "exactly one"},
           Case{R"({"events": [{"atMs": 1, "error": 0, "authorizationStatus": 3}]})", "exactly one"},
           Case{R"({"authorizationStatus": 4294967299})", "out of range"},
           Case{R"({"events": [{"atMs": 1, "locations": [{"latitude": 1, "longitude": 2}]}]})", "accuracy"},
           Case{R"({"events": [{"atMs": 1, "locations": [{"latitude": 1, "longitude": 2, "accuracy": 3,
                                "ageMs": 0, "timestampMs": 5}]}]})", "not both"},
           Case{R"({"requests": {"someone-else": {"events": 7}}})", "someone-else"},
       }) {
    SCOPED_TRACE(c.text);
    EXPECT_NE(problemWith(c.text).find(c.mentions), std::string::npos) << problemWith(c.text);
  }
}

// Records what the simulated manager reports.
class RecordingDelegate final : public LocationManagerDelegate {
 public:
  explicit RecordingDelegate(const Clock& clock) : clock_(clock) {}
  void locationManagerDidChangeAuthorization(LocationManager& m) override {
    log.push_back("status " + std::to_string(m.authorizationStatus()) + " @" + std::to_string(elapsed()));
  }
  void locationManagerDidUpdateLocations(LocationManager&, const std::vector<Location>& l) override {
    std::string line = "update @" + std::to_string(elapsed());
    for (const Location& x : l) line += " " + std::to_string(x.timestampMillis - start) + "/" + std::to_string(x.latitude);
    log.push_back(line);
  }
  void locationManagerDidFailWithError(LocationManager&, int code) override {
    log.push_back("error " + std::to_string(code) + " @" + std::to_string(elapsed()));
  }
  std::int64_t elapsed() const { return clock_.nowMillisSince1970() - start; }

  std::int64_t start = 0;
  std::vector<std::string> log;

 private:
  const Clock& clock_;
};

TEST(SimulatedService, ReplaysEventsRelativeToManagerCreation) {
  constexpr std::int64_t t0 = 1'700'000'000'000;
  FakeTime time(t0);
  auto service = makeSimulatedLocationService(parsed(R"({"authorizationStatus": 0, "events": [
      {"atMs": 10, "locations": [{"latitude": 9, "longitude": 9, "accuracy": 1}]},
      {"atMs": 50, "authorizationStatus": 3},
      {"atMs": 60, "servicesEnabled": false},
      {"atMs": 100, "locations": [{"latitude": 1, "longitude": 2, "accuracy": 3, "ageMs": 3600000},
                                  {"latitude": 2, "longitude": 2, "accuracy": 3, "timestampMs": 1700000000007},
                                  {"latitude": 3, "longitude": 2, "accuracy": 3}]},
      {"atMs": 200, "error": 1}]})"),
                                                time, time);
  auto delegate = std::make_shared<RecordingDelegate>(time);
  time.advance(1000ms);  // nothing happens before a manager exists
  delegate->start = time.nowMillisSince1970();
  auto manager = service->createManager(delegate);
  manager->requestWhenInUseAuthorization();
  EXPECT_EQ(manager->authorizationStatus(), 0);

  time.advance(55ms);
  manager->startUpdatingLocation();  // as the driver does on status 3
  EXPECT_TRUE(service->locationServicesEnabled());
  time.advance(5ms);
  EXPECT_FALSE(service->locationServicesEnabled());  // a services event changes only the answer
  time.advance(200ms);

  EXPECT_EQ(delegate->log, (std::vector<std::string>{
                               // the update at 10 ms was dropped: updates not started yet
                               "status 3 @50",
                               "update @100 -3599900/1.000000 -993/2.000000 100/3.000000",
                               "error 1 @200",
                           }));
}

TEST(SimulatedService, StopsReportingOnceTheManagerIsGone) {
  FakeTime time(0);
  auto service = makeSimulatedLocationService(
      parsed(R"({"events": [{"atMs": 10, "authorizationStatus": 3}, {"atMs": 20, "error": 0}]})"), time, time);
  auto delegate = std::make_shared<RecordingDelegate>(time);
  auto manager = service->createManager(delegate);
  time.advance(10ms);
  manager.reset();
  time.advance(50ms);
  EXPECT_EQ(delegate->log, (std::vector<std::string>{"status 3 @10"}));
}

class ScenarioFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tavirel-location-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    ::unsetenv("TAVIREL_LOCATION_SIMULATION");
    std::filesystem::remove_all(dir_);
  }
  std::string write(const std::string& name, const std::string& text) {
    auto path = dir_ / name;
    std::ofstream(path) << text;
    return path.string();
  }

  std::filesystem::path dir_;
  FakeTime time{0};
};

TEST_F(ScenarioFileTest, UnusableScenarioCountsAsServicesOffWithOneLine) {
  for (const std::string& path : {write("bad.json", R"({"events": 3})"), (dir_ / "missing.json").string()}) {
    SCOPED_TRACE(path);
    ::setenv("TAVIREL_LOCATION_SIMULATION", path.c_str(), 1);
    ::testing::internal::CaptureStderr();
    auto service = locationServiceForRequest("r1", time, time);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(service->locationServicesEnabled());
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find(path), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace tavirel::location
