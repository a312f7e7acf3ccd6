#include "bridge/dispatcher.h"

#include <array>
#include <memory>

#include "audio/device_selection.h"
#include "bridge/trace.h"
#include "calls/call_control.h"
#include "calls/conference_control.h"
#include "engine/engine_start.h"
#include "engine/registration.h"

namespace tavirel::bridge {
namespace {

using Command = HelperBridgeCommand;
using Error = std::optional<std::string>;

constexpr auto kRegistrationWait = std::chrono::seconds(15);

// A string payload value, or null when the key is absent, there is no
// payload, or the value is a boolean.
const std::string* payloadString(const HelperBridgeRequest& request, std::string_view key) {
  if (!request.payload) return nullptr;
  const auto it = request.payload->find(key);
  return it == request.payload->end() ? nullptr : it->second.string();
}

HelperBridgeResponse fail(const HelperBridgeRequest& request, std::string error) {
  return makeResponse(request.requestId, false, std::move(error));
}

HelperBridgeResponse outcome(const HelperBridgeRequest& request, Error error,
                             std::optional<Payload> payload = std::nullopt) {
  if (error) return fail(request, std::move(*error));
  return makeResponse(request.requestId, true, std::nullopt, std::move(payload));
}

// Runs `work` on the engine queue and waits for it.
template <typename Work>
auto onEngineQueue(HelperState& state, Work&& work) {
  using Result = decltype(work());
  if constexpr (std::is_void_v<Result>) {
    state.sipQueue.runSync(work);
  } else {
    Result result{};
    state.sipQueue.runSync([&] { result = work(); });
    return result;
  }
}

struct Context {
  HelperState& state;
  const HelperBridgeRequest& request;
  LinphoneCore* core() const { return state.linphoneCore; }
};

HelperBridgeResponse onInitialize(const Context& c) {
  const auto sdk = engine::checkSdk(c.state.executablePath);
  if (sdk.problem) return fail(c.request, *sdk.problem);
  const Error error = onEngineQueue(c.state, [&] { return engine::startEngineIfAbsent(c.state); });
  if (error) return fail(c.request, *error);
  return outcome(c.request, std::nullopt, Payload{{"sdkRoot", sdk.root.value_or("")}});
}

// The wait outlives nothing it shares: the completion owns the flag and the
// semaphore jointly with the request thread, so a completion that fires after
// the deadline touches live objects that nobody reads any more.
struct RegistrationWait {
  dispatch::CountingSemaphore outcome;
  std::atomic<bool> registered{false};
};

HelperBridgeResponse onRegister(const Context& c) {
  const std::string* account = payloadString(c.request, "sipAccount");
  const std::string* password = payloadString(c.request, "sipPassword");
  const std::string* server = payloadString(c.request, "server");
  if (!account || !password || !server) return fail(c.request, "Missing register params");

  auto wait = std::make_shared<RegistrationWait>();
  const Error error = onEngineQueue(c.state, [&]() -> Error {
    if (auto setupError = engine::setupSipAccount(c.core(), *account, *password, *server))
      return setupError;
    // Installed inside the same work item as the setup, so no iteration can
    // deliver this registration's outcome before someone listens for it.
    std::lock_guard lock(c.state.stateLock);
    c.state.registrationCompletion = [wait](LinphoneRegistrationState registration) {
      if (registration == LinphoneRegistrationOk) {
        wait->registered.store(true);
        wait->outcome.signal();
      } else if (registration == LinphoneRegistrationFailed) {
        wait->registered.store(false);
        wait->outcome.signal();
      }
    };
    return std::nullopt;
  });
  if (error) return fail(c.request, *error);

  (void)wait->outcome.waitFor(kRegistrationWait);
  {
    std::lock_guard lock(c.state.stateLock);
    c.state.registrationCompletion = nullptr;
  }
  const bool registered = wait->registered.load();
  return makeResponse(c.request.requestId, registered, std::nullopt, Payload{{"registered", registered}});
}

HelperBridgeResponse onMakeCall(const Context& c) {
  const std::string* target = payloadString(c.request, "target");
  if (!target) return fail(c.request, "Missing target");
  return outcome(c.request, onEngineQueue(c.state, [&] { return calls::makeCall(c.core(), *target); }));
}

HelperBridgeResponse onInviteConference(const Context& c) {
  const std::string* csv = payloadString(c.request, "targetsCsv");
  if (!csv) return fail(c.request, "Missing conference targets");
  const auto targets = splitTargetsCsv(*csv);
  if (targets.empty()) return fail(c.request, "No valid conference targets");
  auto result = onEngineQueue(c.state, [&] { return calls::inviteConference(c.core(), targets); });
  return outcome(c.request, std::move(result.error),
                 Payload{{"invitedCount", std::to_string(result.invitedCount)}});
}

HelperBridgeResponse onRemoveConferenceParticipant(const Context& c) {
  const std::string* target = payloadString(c.request, "target");
  if (!target || trimWhitespaceAndNewlines(*target).empty())
    return fail(c.request, "Missing conference target");
  return outcome(c.request, onEngineQueue(c.state, [&] {
                   return calls::removeConferenceParticipant(c.core(), *target);
                 }));
}

HelperBridgeResponse onAnswerCall(const Context& c) {
  return outcome(c.request, onEngineQueue(c.state, [&] { return calls::answerCall(c.core()); }));
}

// The next three read the engine inside their work item: they succeed, doing
// nothing, before INITIALIZE.
HelperBridgeResponse onHangupCall(const Context& c) {
  onEngineQueue(c.state, [&] { calls::hangupCall(c.state.linphoneCore); });
  return outcome(c.request, std::nullopt);
}

HelperBridgeResponse onUnregister(const Context& c) {
  onEngineQueue(c.state, [&] { engine::unregisterAccounts(c.state.linphoneCore); });
  return outcome(c.request, std::nullopt);
}

HelperBridgeResponse onSetMicMuted(const Context& c) {
  bool muted = false;
  if (c.request.payload) {
    if (const auto it = c.request.payload->find("muted"); it != c.request.payload->end())
      if (const bool* flag = it->second.boolean()) muted = *flag;
  }
  onEngineQueue(c.state, [&] { calls::setMicMuted(c.state.linphoneCore, muted); });
  return outcome(c.request, std::nullopt);
}

HelperBridgeResponse onSendDtmf(const Context& c) {
  const std::string* digit = payloadString(c.request, "digit");
  if (!digit || digit->empty()) {
    writeDtmfLog("stage=helper_invalid_payload requestId=" + c.request.requestId);
    return fail(c.request, "Missing DTMF digit");
  }
  return outcome(c.request, onEngineQueue(c.state, [&] {
                   return calls::sendDtmf(c.state.linphoneCore, c.request.requestId, *digit, (*digit)[0]);
                 }));
}

HelperBridgeResponse onIsInCall(const Context& c) {
  const bool inCall = onEngineQueue(c.state, [&] {
    LinphoneCore* core = c.state.linphoneCore;
    return core != nullptr && linphone_core_get_calls_nb(core) > 0;
  });
  return outcome(c.request, std::nullopt, Payload{{"inCall", inCall}});
}

HelperBridgeResponse onGetCurrentRemoteAddress(const Context& c) {
  std::string remote;
  {
    std::lock_guard lock(c.state.stateLock);
    remote = c.state.currentRemoteAddr;
  }
  return outcome(c.request, std::nullopt, Payload{{"remoteAddress", std::move(remote)}});
}

HelperBridgeResponse onGetRegistrationState(const Context& c) {
  std::string registration;
  {
    std::lock_guard lock(c.state.stateLock);
    registration = c.state.registrationStateStr;
  }
  return outcome(c.request, std::nullopt, Payload{{"state", std::move(registration)}});
}

HelperBridgeResponse onGetCallState(const Context& c) {
  std::string call, remote, callLog;
  {
    // One locked section, so the three values belong to the same moment.
    std::lock_guard lock(c.state.stateLock);
    call = c.state.callStateStr;
    remote = c.state.currentRemoteAddr;
    callLog = c.state.callLogStatusStr;
  }
  return outcome(c.request, std::nullopt,
                 Payload{{"state", std::move(call)},
                         {"remoteAddress", std::move(remote)},
                         {"callLogStatus", std::move(callLog)}});
}

HelperBridgeResponse onGetAudioDevices(const Context& c) {
  std::string devices = "[]";
  onEngineQueue(c.state, [&] { devices = audio::audioDevicePayloadJson(c.core()); });
  return outcome(c.request, std::nullopt, Payload{{"devicesJson", std::move(devices)}});
}

HelperBridgeResponse onGetAudioInputDevices(const Context& c) {
  std::string devices = "[]";
  onEngineQueue(c.state, [&] { devices = audio::audioInputDevicePayloadJson(c.core()); });
  return outcome(c.request, std::nullopt, Payload{{"devicesJson", std::move(devices)}});
}

HelperBridgeResponse onSetAudioDevice(const Context& c) {
  const std::string* id = payloadString(c.request, "deviceId");
  if (!id || id->empty()) return fail(c.request, "Missing audio device id");
  return outcome(c.request, onEngineQueue(c.state, [&] { return audio::selectPlaybackDevice(c.core(), *id); }));
}

HelperBridgeResponse onSetAudioInputDevice(const Context& c) {
  const std::string* id = payloadString(c.request, "deviceId");
  if (!id || id->empty()) return fail(c.request, "Missing audio input device id");
  return outcome(c.request, onEngineQueue(c.state, [&] { return audio::selectCaptureDevice(c.core(), *id); }));
}

struct CommandRow {
  Command command;
  bool needsEngine;
  HelperBridgeResponse (*run)(const Context&);
};

// Indexed by the command's ordinal.
constexpr std::array<CommandRow, kCommandCount> kCommands = {{
    {Command::initialize, false, onInitialize},
    {Command::registerAccount, true, onRegister},
    {Command::makeCall, true, onMakeCall},
    {Command::inviteConference, true, onInviteConference},
    {Command::removeConferenceParticipant, true, onRemoveConferenceParticipant},
    {Command::answerCall, true, onAnswerCall},
    {Command::hangupCall, false, onHangupCall},
    {Command::unregister, false, onUnregister},
    {Command::setMicMuted, false, onSetMicMuted},
    {Command::sendDtmf, false, onSendDtmf},
    {Command::isInCall, false, onIsInCall},
    {Command::getCurrentRemoteAddress, false, onGetCurrentRemoteAddress},
    {Command::getRegistrationState, false, onGetRegistrationState},
    {Command::getCallState, false, onGetCallState},
    {Command::getAudioDevices, true, onGetAudioDevices},
    {Command::setAudioDevice, true, onSetAudioDevice},
    {Command::getAudioInputDevices, true, onGetAudioInputDevices},
    {Command::setAudioInputDevice, true, onSetAudioInputDevice},
}};

constexpr bool rowsFollowOrdinals() {
  for (std::size_t i = 0; i < kCommands.size(); ++i)
    if (static_cast<std::size_t>(kCommands[i].command) != i) return false;
  return true;
}
static_assert(rowsFollowOrdinals(), "command rows must be in ordinal order");

}  // namespace

HelperBridgeResponse handle(HelperState& state, const HelperBridgeRequest& request) {
  const CommandRow& row = kCommands[static_cast<std::size_t>(request.command)];
  if (row.needsEngine && state.linphoneCore == nullptr) return fail(request, "Not initialized");
  return row.run(Context{state, request});
}

HelperBridgeResponse respondTo(HelperState& state, std::string_view line) {
  auto decoded = decodeRequest(line);
  if (auto* failure = std::get_if<DecodeFailure>(&decoded))
    return makeResponse("", false, std::string(kInvalidRequestPrefix) + failure->description);
  return handle(state, std::get<HelperBridgeRequest>(decoded));
}

}  // namespace tavirel::bridge
