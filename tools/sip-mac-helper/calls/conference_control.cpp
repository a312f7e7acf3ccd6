#include "calls/conference_control.h"

#include <bctoolbox/list.h>

#include <algorithm>
#include <memory>

#include "bridge/engine_queue.h"
#include "bridge/json_text.h"
#include "bridge/trace.h"
#include "calls/call_control.h"
#include "engine/engine_error.h"
#include "engine/linphone_compat.h"
#include "bridge/owned.h"

namespace tavirel::calls {
namespace {

using engine::AddressPtr;
using engine::CallParamsPtr;
using engine::Operation;
using bridge::boolText;
using ConferenceParamsPtr = engine::Owned<LinphoneConferenceParams>;
using ParticipantPtr = engine::Owned<LinphoneParticipant>;
// Frees the list cells only; the elements belong to someone else.
using ListPtr = engine::Owned<bctbx_list_t>;

std::string anchorRemoteText(LinphoneCall* anchor) {
  return anchor != nullptr ? remoteUriText(anchor) : std::string();
}

std::string callStatesText(LinphoneCore* core) { return "callStates=[" + describeCallStates(core) + "]"; }

struct NewConference {
  LinphoneConference* conference = nullptr;  // borrowed; null when a step failed
  std::string failure;                       // the engine's detail of that step
};

// A new conference hosted here, with the anchor call in it when there is
// one. A conference made before a failing step is left to the engine as it
// is.
NewConference createConference(LinphoneCore* core, LinphoneCall* anchor) {
  ConferenceParamsPtr params(engine::createConferenceParams(core, nullptr));
  if (!params) return {nullptr, engine::nullFailure("ConferenceParams")};
  // Borrowed: the core keeps the conference it made and frees it when the
  // conference is terminated.
  LinphoneConference* conference = linphone_core_create_conference_with_params(core, params.get());
  if (conference == nullptr) return {nullptr, engine::nullFailure("Conference")};
  if (anchor != nullptr) {
    // liblinphone 5.1 answers a successful add with 1, not 0; only a
    // negative status is a refusal.
    const LinphoneStatus status = linphone_conference_add_participant(conference, anchor);
    if (status < 0) return {nullptr, engine::statusFailure("addParticipant", status)};
  }
  return {conference, {}};
}

// Removes the participant at `address` from `conference`. liblinphone 5.1
// crashes (segmentation fault) when asked to remove an address that is not
// in the conference, so the participant is looked up first and removed as
// that object; a missing one counts as the refusal a newer engine answers
// with (-1).
void removeFromConference(LinphoneConference* conference, const LinphoneAddress* address, RemovalSteps& steps) {
  LinphoneParticipant* found = linphone_conference_find_participant(conference, address);  // borrowed
  // Held across the removal, which drops the conference's own reference.
  const ParticipantPtr participant(found != nullptr ? linphone_participant_ref(found) : nullptr);
  const LinphoneStatus status =
      participant ? linphone_conference_remove_participant_2(conference, participant.get()) : -1;
  if (status != 0) {
    steps.conference = RemovalSteps::Conference::failed;
    steps.conferenceFailure = engine::statusFailure("removeParticipant", status);
    return;
  }
  steps.conference = RemovalSteps::Conference::removed;
}

// Whether the party at `address` is in `conference` already or has a call
// in some conference of this engine.
bool alreadyInConference(LinphoneCore* core, LinphoneConference* conference, const LinphoneAddress* address) {
  if (linphone_conference_find_participant(conference, address) != nullptr) return true;
  LinphoneCall* call = linphone_core_get_call_by_remote_address2(core, address);  // borrowed
  return call != nullptr && linphone_call_get_conference(call) != nullptr;
}

// The addresses the engine is asked to invite: each party once, and none who
// is in the conference already. liblinphone 5.1 invites an address by
// reusing the call it has with that party, and aborts the whole process when
// that call is still being set up for the conference (its streams are in the
// mixer, the participant is not yet); a party named twice in one list gets
// there through the call made for its first mention.
ListPtr addressesToInvite(LinphoneCore* core, LinphoneConference* conference,
                          const std::vector<AddressPtr>& addresses) {
  bctbx_list_t* cells = nullptr;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const LinphoneAddress* address = addresses[i].get();
    bool named = false;
    for (std::size_t j = 0; j < i && !named; ++j) named = linphone_address_weak_equal(addresses[j].get(), address);
    if (named || alreadyInConference(core, conference, address)) continue;
    cells = bctbx_list_append(cells, const_cast<LinphoneAddress*>(address));
  }
  return ListPtr(cells);
}

// How many of `addresses` the engine would place a new call to: those it
// has no call with yet.
std::size_t newCallsFor(LinphoneCore* core, const bctbx_list_t* addresses) {
  std::size_t count = 0;
  for (const bctbx_list_t* it = addresses; it != nullptr; it = bctbx_list_next(it)) {
    const auto* address = static_cast<const LinphoneAddress*>(bctbx_list_get_data(it));
    if (linphone_core_get_call_by_remote_address2(core, address) == nullptr) ++count;
  }
  return count;
}

// Invites `targets` into `conference`, which exists already.
WorkResult inviteInto(LinphoneCore* core, LinphoneConference* conference, LinphoneCall* anchor,
                      const std::vector<std::string>& targets);

}  // namespace

LinphoneConference* resolveActiveConference(LinphoneCore* core) {
  assertOnEngineQueue();
  if (LinphoneCall* current = linphone_core_get_current_call(core)) {
    if (LinphoneConference* conference = linphone_call_get_conference(current)) return conference;
  }
  for (const bctbx_list_t* it = linphone_core_get_calls(core); it != nullptr; it = bctbx_list_next(it)) {
    auto* call = static_cast<LinphoneCall*>(bctbx_list_get_data(it));
    if (LinphoneConference* conference = linphone_call_get_conference(call)) return conference;
  }
  return nullptr;
}

std::string quotedTargetList(const std::vector<std::string>& targets) {
  std::string text = "[";
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (i > 0) text += ", ";
    // Requests arrive as valid UTF-8; the repair only guarantees the quoting
    // never stops half way.
    bridge::appendJsonString(text, bridge::toValidUtf8(targets[i]));
  }
  text += "]";
  return text;
}

WorkResult inviteConference(LinphoneCore* core, const std::vector<std::string>& targets) {
  assertOnEngineQueue();
  LinphoneCall* anchor = resolveConferenceAnchorCall(core);  // borrowed
  LinphoneConference* conference = resolveActiveConference(core);  // borrowed
  const std::size_t callCount = bctbx_list_size(linphone_core_get_calls(core));
  bridge::writeDebugLog("stage=adapter_enter currentCallPresent=" +
                        std::string(boolText(linphone_core_get_current_call(core) != nullptr)) +
                        " activeCallCount=" + std::to_string(callCount) +
                        " conferencePresent=" + boolText(conference != nullptr) +
                        " anchorRemote=" + anchorRemoteText(anchor) +
                        " targets=" + quotedTargetList(targets) + " " + callStatesText(core));

  // A conference made here with nobody in it is the engine's one local
  // conference: left behind by a failure below, it would capture the next
  // invitation (whose anchor call then never joins) and swallow the next
  // HANGUP_CALL. So if this command invites nobody into it, it goes again.
  LinphoneConference* madeEmpty = nullptr;
  if (conference == nullptr) {
    NewConference created = createConference(core, anchor);
    if (created.conference == nullptr) return engine::failedIn(Operation::createConference, created.failure);
    conference = created.conference;
    if (anchor == nullptr) madeEmpty = conference;
    bridge::writeDebugLog("stage=conference_created currentCallRemote=" + anchorRemoteText(anchor) +
                          " conferenceAfterCreate=true " + callStatesText(core));
  }
  WorkResult result = inviteInto(core, conference, anchor, targets);
  if (!result.ok() && madeEmpty != nullptr) (void)linphone_conference_terminate(madeEmpty);
  return result;
}

namespace {

WorkResult inviteInto(LinphoneCore* core, LinphoneConference* conference, LinphoneCall* anchor,
                      const std::vector<std::string>& targets) {

  std::vector<AddressPtr> addresses;
  addresses.reserve(targets.size());
  for (const std::string& target : targets) {
    if (AddressPtr address{interpretTarget(core, target)})
      addresses.push_back(std::move(address));
  }
  const std::string addressCount = std::to_string(addresses.size());
  bridge::writeDebugLog("stage=addresses_ready addressCount=" + addressCount);
  if (addresses.empty()) return WorkResult::failed("No callable participants");

  CallParamsPtr callParams(linphone_core_create_call_params(core, nullptr));
  if (!callParams) return engine::failedIn(Operation::inviteConference, engine::nullFailure("CallParams"));

  bridge::writeDebugLog("stage=before_invite addressCount=" + addressCount + " currentCallPresent=" +
                        boolText(linphone_core_get_current_call(core) != nullptr) +
                        " anchorRemote=" + anchorRemoteText(anchor) + " " + callStatesText(core));

  // Parties left out are in the conference, or on their way into it,
  // already; the answer counts them as invited like the others.
  const ListPtr toInvite = addressesToInvite(core, conference, addresses);
  // The engine holds at most max-calls calls. liblinphone 5.1 gets no call
  // back for an invitation past that limit and then crashes on it, half way
  // through the list; so a list that does not fit is refused whole, with the
  // failure that invitation would have met.
  const std::size_t callsAfter = bctbx_list_size(linphone_core_get_calls(core)) + newCallsFor(core, toInvite.get());
  if (callsAfter > static_cast<std::size_t>(std::max(linphone_core_get_max_calls(core), 0)))
    return engine::failedIn(Operation::inviteConference, engine::nullFailure("Call"));
  if (toInvite) {
    const LinphoneStatus status =
        linphone_conference_invite_participants(conference, toInvite.get(), callParams.get());
    if (status != 0)
      return engine::failedIn(Operation::inviteConference, engine::statusFailure("inviteParticipants", status));
  }
  // Counted as the answer's text: the payload has no numbers.
  return WorkResult::withValue(std::to_string(addresses.size()));
}

}  // namespace

WorkResult removeConferenceParticipant(LinphoneCore* core, const std::string& target) {
  assertOnEngineQueue();
  const AddressPtr address(interpretTarget(core, target));
  if (!address) return WorkResult::failed("Invalid conference target: " + target);

  RemovalSteps steps;
  // Only the current call's conference: a conference reached through some
  // other call is not the one the user is talking in.
  if (LinphoneCall* current = linphone_core_get_current_call(core)) {
    if (LinphoneConference* conference = linphone_call_get_conference(current))
      removeFromConference(conference, address.get(), steps);
  }

  if (LinphoneCall* call = linphone_core_get_call_by_remote_address2(core, address.get())) {
    const LinphoneStatus status = linphone_call_terminate(call);
    if (status != 0) {
      steps.directCall = RemovalSteps::DirectCall::terminateFailed;
      steps.terminateFailure = engine::statusFailure("terminate", status);
    } else {
      steps.directCall = RemovalSteps::DirectCall::terminated;
    }
  }
  return WorkResult{removalOutcome(steps), std::nullopt};
}

std::optional<std::string> removalOutcome(const RemovalSteps& steps) {
  if (steps.directCall == RemovalSteps::DirectCall::terminateFailed)
    return engine::failureText(Operation::terminateParticipantCall, steps.terminateFailure);
  if (steps.conference == RemovalSteps::Conference::failed)
    return engine::failureText(Operation::removeParticipant, steps.conferenceFailure);
  if (steps.conference == RemovalSteps::Conference::notAttempted &&
      steps.directCall == RemovalSteps::DirectCall::none)
    return "Conference participant not found";
  return std::nullopt;
}

}  // namespace tavirel::calls
