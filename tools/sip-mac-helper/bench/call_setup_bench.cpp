// Call set-up time over loopback: two real helpers registered at a real
// registrar, one calling the other N times. For each call it measures, from
// the moment MAKE_CALL is written, when the callee shows "incomingReceived",
// and when each side shows "streamsRunning"; the callee answers as soon as it
// sees the call ring. Prints every call and the medians on stdout.
//
// Run it inside a loopback-only network namespace (bench/call-setup.sh).
// Usage: call_setup_bench [calls]   (default 7)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "HelperClient.h"
#include "Kamailio.h"
#include "PulseAudio.h"

using namespace tavirel::test;
using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

std::unique_ptr<HelperClient> startRegistered(const Kamailio& registrar, const PulseAudio& pulse,
                                              const std::string& user) {
  auto helper = std::make_unique<HelperClient>(HelperOptions{.pulse = &pulse});
  if (!helper->request("INITIALIZE").value("success", false)) throw std::runtime_error("INITIALIZE failed");
  const auto registered = helper->request(
      "REGISTER", {{"sipAccount", user}, {"sipPassword", Kamailio::user(user).password},
                   {"server", registrar.server()}});
  if (!registered.value("success", false)) throw std::runtime_error("REGISTER failed: " + registered.dump());
  return helper;
}

std::string state(HelperClient& helper) {
  return helper.query("GET_CALL_STATE").at("state").get<std::string>();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  Kamailio registrar;
  PulseAudio pulse;
  auto caller = startRegistered(registrar, pulse, "alice");
  auto callee = startRegistered(registrar, pulse, "bob");

  std::vector<double> ringing, callerRunning, calleeRunning, both;
  for (int i = 0; i < calls; ++i) {
    const auto start = Clock::now();
    if (!caller->request("MAKE_CALL", {{"target", registrar.uri("bob")}}).value("success", false))
      throw std::runtime_error("MAKE_CALL failed");
    std::optional<Clock::time_point> rang, callerUp, calleeUp;
    const bool up = pollUntil(
        [&] {
          if (!rang && state(*callee) == "incomingReceived") {
            rang = Clock::now();
            if (!callee->request("ANSWER_CALL").value("success", false))
              throw std::runtime_error("ANSWER_CALL failed");
          }
          if (!callerUp && state(*caller) == "streamsRunning") callerUp = Clock::now();
          if (rang && !calleeUp && state(*callee) == "streamsRunning") calleeUp = Clock::now();
          return callerUp && calleeUp;
        },
        deadlineAfter(20s), 1ms);
    if (!up) throw std::runtime_error("call " + std::to_string(i + 1) + " did not come up");
    ringing.push_back(Ms(*rang - start).count());
    callerRunning.push_back(Ms(*callerUp - start).count());
    calleeRunning.push_back(Ms(*calleeUp - start).count());
    both.push_back(std::max(callerRunning.back(), calleeRunning.back()));
    std::printf("call %d: ringing %.1f ms, caller streamsRunning %.1f ms, callee streamsRunning %.1f ms\n",
                i + 1, ringing.back(), callerRunning.back(), calleeRunning.back());

    caller->request("HANGUP_CALL");
    if (!callee->waitForState("GET_CALL_STATE", "released", 10s).satisfied ||
        !caller->waitForState("GET_CALL_STATE", "released", 10s).satisfied)
      throw std::runtime_error("call " + std::to_string(i + 1) + " did not end");
    // The next call must not start while the engine still counts this one.
    pollUntil([&] { return !caller->query("IS_IN_CALL").at("inCall").get<bool>() &&
                           !callee->query("IS_IN_CALL").at("inCall").get<bool>(); },
              deadlineAfter(10s));
  }
  std::printf("median of %d calls: ringing %.1f ms, caller streamsRunning %.1f ms, "
              "callee streamsRunning %.1f ms, both streamsRunning %.1f ms\n",
              calls, median(ringing), median(callerRunning), median(calleeRunning), median(both));
  return 0;
}
