#include "bridge/dispatcher.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "audio/device_selection.h"
#include "audio/platform_audio.h"
#include "bridge/engine_queue.h"
#include "calls/call_control.h"
#include "calls/call_security.h"
#include "calls/conference_control.h"
#include "engine/engine_start.h"
#include "engine/registration.h"
#include "engine/sip_intake.h"

namespace tavirel::bridge {
namespace {

using Command = HelperBridgeCommand;

constexpr auto kRegistrationWait = std::chrono::seconds(15);

HelperBridgeResponse fail(const HelperBridgeRequest& request, std::string error) {
  return makeResponse(request.requestId, false, std::move(error));
}

// Runs `task` on the engine queue and waits for its result.
template <typename Task>
auto onEngineQueue(HelperState& state, Task&& task) {
  using Result = decltype(task());
  Result result{};
  state.sipQueue.runSync([&] {
    assertOnEngineQueue();
    result = task();
  });
  return result;
}

HelperBridgeResponse answer(const CommandRow& row, const HelperBridgeRequest& request, WorkResult result) {
  if (result.error) return fail(request, std::move(*result.error));
  if (row.resultKey.empty() || !result.value) return makeResponse(request.requestId, true);
  return makeResponse(request.requestId, true, std::nullopt,
                      Payload{{std::string(row.resultKey), std::move(*result.value)}});
}

// The first key of `row` whose rule the request breaks, or null; the
// values of the keys before it are in `args`.
const PayloadKey* firstBrokenKey(const CommandRow& row, const HelperBridgeRequest& request, Arguments& args) {
  for (std::size_t i = 0; i < row.keys.size(); ++i) {
    const PayloadKey& key = row.keys[i];
    const StringOrBool* value = nullptr;
    if (request.payload) {
      if (const auto it = request.payload->find(key.name); it != request.payload->end()) value = &it->second;
    }
    if (key.rule == KeyRule::flag) {
      const bool* flag = value ? value->boolean() : nullptr;
      args.setFlag(i, flag != nullptr && *flag);
      continue;
    }
    if (key.rule == KeyRule::optional) {
      if (value == nullptr) continue;
      const std::string* text = value->string();
      const bool* flag = value->boolean();
      args.setOptional(i, text ? std::string_view(*text) : std::string_view(flag && *flag ? "true" : "false"));
      continue;
    }
    const std::string* text = value ? value->string() : nullptr;
    const bool kept = text != nullptr && (key.rule == KeyRule::present ||
                                          (key.rule == KeyRule::nonEmpty && !text->empty()) ||
                                          (key.rule == KeyRule::nonBlank && !trimWhitespaceAndNewlines(*text).empty()));
    if (!kept) return &key;
    args.setText(i, *text);
  }
  return nullptr;
}

// --- steps of their own -------------------------------------------------

// The SDK is looked for before the engine is touched, on the request thread.
HelperBridgeResponse initialize(const Work& w) {
  const auto sdk = engine::checkSdk(w.state.executablePath);
  if (sdk.problem) return fail(w.request, *sdk.problem);
  static constexpr engine::EngineHooks kHooks{
      .audioDeviceChanged = audio::currentDeviceChanged,
      .audioDevicesListUpdated = audio::devicesChanged,
      .started = audio::engineStarted,
  };
  const std::string root = sdk.root.value_or("");
  WorkResult started = onEngineQueue(w.state, [&] { return engine::startEngineIfAbsent(w.state, kHooks, root); });
  if (!started.ok()) return fail(w.request, std::move(*started.error));
  return answer(commandRow(Command::initialize), w.request, WorkResult::withValue(root));
}

// The wait outlives nothing it shares: the completion owns the flag and the
// semaphore jointly with the request thread, so a completion that fires after
// the deadline touches live objects that nobody reads any more.
struct RegistrationWait {
  dispatch::CountingSemaphore outcome;
  std::atomic<bool> registered{false};
};

// Answers when the registrar has, or after kRegistrationWait; a refusal or
// no answer is success false with "registered" false and no error.
HelperBridgeResponse registerAccount(const Work& w) {
  auto wait = std::make_shared<RegistrationWait>();
  const auto waitEnds = dispatch::Clock::now() + kRegistrationWait;
  // New calls are taken from the registrar only, unless the user says the
  // set-up really takes them straight to the address. Until the registrar's
  // addresses are known, no direct INVITE is taken at all.
  const bool screenInvites = !w.args.flag(3);
  WorkResult setup = onEngineQueue(w.state, [&] {
    WorkResult result = engine::setupSipAccount(w.core(), {.sipAccount = w.args.text(0),
                                                           .sipPassword = w.args.text(1),
                                                           .server = w.args.text(2),
                                                           .transport = w.args.optional(4),
                                                           .mediaEncryption = w.args.optional(5)});
    if (!result.ok()) return result;
    if (w.state.engine.sipIntake) w.state.engine.sipIntake->setPolicy({.screenInvites = screenInvites, .trustedSources = {}});
    // Installed inside the same work item as the setup, so no iteration can
    // deliver this registration's outcome before someone listens for it.
    std::lock_guard lock(w.state.mirror.stateLock);
    w.state.mirror.registrationCompletion = {
        .account = linphone_core_get_default_account(w.core()),  // the one the setup just made
        .onChange = [wait](LinphoneRegistrationState registration) {
          if (registration == LinphoneRegistrationOk || registration == LinphoneRegistrationFailed) {
            wait->registered.store(registration == LinphoneRegistrationOk);
            wait->outcome.signal();
          }
        }};
    return result;
  });
  if (!setup.ok()) return fail(w.request, std::move(*setup.error));

  // Looked up here, while the engine registers, so that no resolver ever
  // blocks the engine queue.
  if (screenInvites) {
    engine::IntakePolicy intake{.screenInvites = true, .trustedSources = {}};
    if (const auto registrar = engine::parseRegistrar(w.args.text(2)))
      intake.trustedSources = engine::registrarSources(registrar->host);
    w.state.sipQueue.runSync([&] {
      if (w.state.engine.sipIntake) w.state.engine.sipIntake->setPolicy(std::move(intake));
    });
  }
  (void)wait->outcome.waitFor(std::max<dispatch::Clock::duration>(waitEnds - dispatch::Clock::now(), {}));
  {
    std::lock_guard lock(w.state.mirror.stateLock);
    w.state.mirror.registrationCompletion = {};
  }
  const bool registered = wait->registered.load();
  return makeResponse(w.request.requestId, registered, std::nullopt, Payload{{"registered", registered}});
}

// The list is split and judged before the engine is asked.
HelperBridgeResponse inviteConference(const Work& w) {
  const auto targets = splitTargetsCsv(w.args.text(0));
  if (targets.empty()) return fail(w.request, "No valid conference targets");
  return answer(commandRow(Command::inviteConference), w.request,
                onEngineQueue(w.state, [&] { return calls::inviteConference(w.core(), targets); }));
}

// Three values, copied in one locked section so they belong to one moment.
HelperBridgeResponse callState(const Work& w) {
  Payload payload;
  {
    MirroredState& mirror = w.state.mirror;
    std::lock_guard lock(mirror.stateLock);
    payload = {{"state", mirror.callStateStr},
               {"remoteAddress", mirror.currentRemoteAddr},
               {"callLogStatus", mirror.callLogStatusStr}};
  }
  return makeResponse(w.request.requestId, true, std::nullopt, std::move(payload));
}

// Several values, read from the engine on its queue.
HelperBridgeResponse callSecurity(const Work& w) {
  const calls::CallSecurity security = onEngineQueue(w.state, [&] { return calls::callSecurity(w.core()); });
  Payload payload{{"signalling", security.signalling},
                  {"mediaEncryption", security.mediaEncryption},
                  {"encrypted", security.encrypted}};
  if (security.authenticationToken) payload.emplace("authenticationToken", *security.authenticationToken);
  return makeResponse(w.request.requestId, true, std::nullopt, std::move(payload));
}

// --- work -----------------------------------------------------------------

WorkResult mirroredText(MirroredState& mirror, const std::string MirroredState::*field) {
  std::lock_guard lock(mirror.stateLock);
  return WorkResult::withValue(mirror.*field);
}

constexpr std::array<CommandWork, kCommandCount> kWork = {{
    {Command::initialize, true, nullptr, initialize},
    {Command::registerAccount, true, nullptr, registerAccount},
    {Command::makeCall, true, [](const Work& w) { return calls::makeCall(w.core(), w.args.text(0)); }},
    {Command::inviteConference, true, nullptr, inviteConference},
    {Command::removeConferenceParticipant, true,
     [](const Work& w) { return calls::removeConferenceParticipant(w.core(), w.args.text(0)); }},
    {Command::answerCall, true, [](const Work& w) { return calls::answerCall(w.core()); }},
    {Command::hangupCall, true,
     [](const Work& w) {
       calls::hangupCall(w.core());
       return WorkResult::done();
     }},
    {Command::unregister, true,
     [](const Work& w) {
       engine::unregisterAccounts(w.core());
       return WorkResult::done();
     }},
    {Command::setMicMuted, true,
     [](const Work& w) {
       calls::setMicMuted(w.core(), w.args.flag(0));
       return WorkResult::done();
     }},
    {Command::sendDtmf, true,
     [](const Work& w) {
       const std::string& digit = w.args.text(0);
       return calls::sendDtmf(w.core(), w.request.requestId, digit, digit[0]);
     }},
    {Command::isInCall, true,
     [](const Work& w) {
       return WorkResult::withValue(w.core() != nullptr && linphone_core_get_calls_nb(w.core()) > 0);
     }},
    {Command::getCurrentRemoteAddress, false,
     [](const Work& w) { return mirroredText(w.state.mirror, &MirroredState::currentRemoteAddr); }},
    {Command::getRegistrationState, false,
     [](const Work& w) { return mirroredText(w.state.mirror, &MirroredState::registrationStateStr); }},
    {Command::getCallState, false, nullptr, callState},
    {Command::getAudioDevices, true,
     [](const Work& w) { return WorkResult::withValue(audio::audioDevicePayloadJson(w.core())); }},
    {Command::setAudioDevice, true,
     [](const Work& w) { return audio::selectPlaybackDevice(w.state.engine, w.args.text(0)); }},
    {Command::getAudioInputDevices, true,
     [](const Work& w) { return WorkResult::withValue(audio::audioInputDevicePayloadJson(w.core())); }},
    {Command::setAudioInputDevice, true,
     [](const Work& w) { return audio::selectCaptureDevice(w.core(), w.args.text(0)); }},
    {Command::getCallSecurity, true, nullptr, callSecurity},
}};

constexpr bool workFollowsOrdinals() {
  for (std::size_t i = 0; i < kWork.size(); ++i) {
    if (static_cast<std::size_t>(kWork[i].command) != i) return false;
    if ((kWork[i].work == nullptr) == (kWork[i].respond == nullptr)) return false;
  }
  return true;
}
static_assert(workFollowsOrdinals(), "one row of work per command, in ordinal order, with work or a step");

}  // namespace

HelperBridgeResponse runFrame(const CommandRow& row, const CommandWork& work, HelperState& state,
                              const HelperBridgeRequest& request) {
  if (row.needsEngine && state.engine.core() == nullptr) return fail(request, "Not initialized");
  Arguments args;
  if (const PayloadKey* broken = firstBrokenKey(row, request, args)) {
    if (broken->onMissing) broken->onMissing(request);
    return fail(request, std::string(broken->missing));
  }
  const Work context{state, request, args};
  if (work.respond) return work.respond(context);
  if (!work.onEngineQueue) return answer(row, request, work.work(context));
  return answer(row, request, onEngineQueue(state, [&] { return work.work(context); }));
}

HelperBridgeResponse handle(HelperState& state, const HelperBridgeRequest& request) {
  const auto index = static_cast<std::size_t>(request.command);
  return runFrame(commandTable()[index], kWork[index], state, request);
}

HelperBridgeResponse respondTo(HelperState& state, std::string_view line) {
  auto decoded = decodeRequest(line);
  if (auto* failure = std::get_if<DecodeFailure>(&decoded))
    return makeResponse("", false, std::string(kInvalidRequestPrefix) + failure->description);
  return handle(state, std::get<HelperBridgeRequest>(decoded));
}

}  // namespace tavirel::bridge
