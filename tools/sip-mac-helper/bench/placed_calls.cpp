#include "placed_calls.h"

#include <optional>
#include <regex>
#include <stdexcept>
#include <thread>

namespace tavirel::bench {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr auto kSetUpLimit = 20s;
constexpr auto kEndLimit = 15s;

// The id of a call that rang on the peer since the last look, from its
// events; the events seen so far are dropped.
std::optional<int> incomingCall(Running& peer) {
  static const std::regex ringing(R"(Event: LinphoneCallIncomingReceived\n(?:[^\n]+\n)*?Id: (\d+))");
  std::smatch match;
  std::optional<int> id;
  if (std::regex_search(peer.events, match, ringing)) id = std::stoi(match[1]);
  if (id) peer.events.clear();
  return id;
}

bool peerStreams(Running& peer, int id) {
  return peerCommand(peer, "call-status " + std::to_string(id)).find("LinphoneCallStreamsRunning") !=
         std::string::npos;
}

bool peerCallGone(Running& peer, int id) {
  return peerCommand(peer, "call-status " + std::to_string(id)).find("No call with such id") != std::string::npos;
}

}  // namespace

bool answerWhenRinging(Running& helper) {
  const std::string state = callState(helper);
  if (state == "incomingReceived") {
    const json answer = bridgeRequest(helper, requestLine("ans", "ANSWER_CALL"));
    if (!answer.value("success", false)) throw std::runtime_error("ANSWER_CALL failed: " + answer.dump());
    return true;
  }
  // The mirror shows the last event of any call: the previous call's
  // release can arrive after this call rang and hide the ringing. A call
  // the helper holds while its state reads ended is that one.
  if ((state == "released" || state == "end") && inCall(helper)) {
    const json answer = bridgeRequest(helper, requestLine("ans", "ANSWER_CALL"));
    return answer.value("success", false);
  }
  return false;
}

double setUpHelperCall(Running& caller, Running& callee, const std::string& target) {
  const auto start = Clock::now();
  const json made = bridgeRequest(caller, requestLine("call", "MAKE_CALL", {{"target", target}}));
  if (!made.value("success", false)) throw std::runtime_error("MAKE_CALL failed: " + made.dump());
  bool answered = false;
  std::optional<double> callerUp, calleeUp;
  const auto deadline = after(kSetUpLimit);
  while (!(callerUp && calleeUp)) {
    if (Clock::now() > deadline)
      throw std::runtime_error("helper call did not come up (caller " + callState(caller) + ", callee " +
                               callState(callee) + (answered ? ", answered" : ", not answered") + ")\n" +
                               caller.log() + "\n--- callee ---\n" + callee.log());
    if (!answered) answered = answerWhenRinging(callee);
    if (!callerUp && callState(caller) == "streamsRunning") callerUp = msSince(start);
    if (answered && !calleeUp && callState(callee) == "streamsRunning") calleeUp = msSince(start);
    std::this_thread::sleep_for(200us);
  }
  return std::max(*callerUp, *calleeUp);
}

void endHelperCall(Running& hangingUp, Running& other) {
  (void)bridgeRequest(hangingUp, requestLine("hup", "HANGUP_CALL"));
  const auto ended = after(kEndLimit);
  // The engine drops an ended call from its list before it releases it; a
  // release that landed after the next call's first events would make the
  // mirrored state of that next call read "released".
  const auto released = [](Running& helper) { return !inCall(helper) && callState(helper) == "released"; };
  while (!released(hangingUp) || !released(other)) {
    if (Clock::now() > ended)
      throw std::runtime_error("helper call did not end (" + callState(hangingUp) + ", " + callState(other) + ")");
    std::this_thread::sleep_for(5ms);
  }
}

PeerCall setUpPeerCall(Running& caller, Running& callee, const std::string& target) {
  const auto start = Clock::now();
  const std::string made = peerCommand(caller, "call " + target);
  const auto callerId = peerId(made);
  if (!peerOk(made) || !callerId) throw std::runtime_error("peer call failed: " + made);
  std::optional<int> calleeId;
  std::optional<double> callerUp, calleeUp;
  const auto deadline = after(kSetUpLimit);
  while (!(callerUp && calleeUp)) {
    if (Clock::now() > deadline)
      throw std::runtime_error("peer call did not come up\n" + caller.log() + "\n--- callee ---\n" + callee.log());
    if (!calleeId) (void)peerCommand(callee, std::string(kPeerCheapCommand));  // brings its events in
    if (!calleeId && (calleeId = incomingCall(callee))) {
      const std::string answer = peerCommand(callee, "answer " + std::to_string(*calleeId));
      if (!peerOk(answer)) throw std::runtime_error("peer answer failed: " + answer);
    }
    if (!callerUp && peerStreams(caller, *callerId)) callerUp = msSince(start);
    if (calleeId && !calleeUp && peerStreams(callee, *calleeId)) calleeUp = msSince(start);
    std::this_thread::sleep_for(200us);
  }
  return {*callerId, *calleeId, std::max(*callerUp, *calleeUp)};
}

void endPeerCall(Running& caller, Running& callee, const PeerCall& call) {
  (void)peerCommand(caller, "terminate " + std::to_string(call.callerId));
  const auto ended = after(kEndLimit);
  while (!peerCallGone(caller, call.callerId) || !peerCallGone(callee, call.calleeId)) {
    if (Clock::now() > ended) throw std::runtime_error("peer call did not end");
    std::this_thread::sleep_for(5ms);
  }
  // Leave no stale events for the next call.
  caller.events.clear();
  callee.events.clear();
}

}  // namespace tavirel::bench
