#include "bridge/commands.h"

#include <array>

#include "bridge/trace.h"

namespace tavirel::bridge {
namespace {

using Command = HelperBridgeCommand;

void traceMissingDigit(const HelperBridgeRequest& request) {
  writeDtmfLog("stage=helper_invalid_payload requestId=" + request.requestId);
}

// REGISTER names no key in its error: one text for any of the three.
// The optional keys never fail here, so a request without them is checked
// exactly as before they existed.
// The account setup judges "transport" and "mediaEncryption", before it
// changes anything.
constexpr std::array<PayloadKey, 6> kRegisterKeys = {{
    {"sipAccount", KeyRule::present, "Missing register params"},
    {"sipPassword", KeyRule::present, "Missing register params"},
    {"server", KeyRule::present, "Missing register params"},
    {"acceptDirectCalls", KeyRule::flag, ""},
    {"transport", KeyRule::optional, ""},
    {"mediaEncryption", KeyRule::optional, ""},
}};
constexpr std::array<PayloadKey, 1> kCallTarget = {{{"target", KeyRule::present, "Missing target"}}};
constexpr std::array<PayloadKey, 1> kConferenceTargets = {
    {{"targetsCsv", KeyRule::present, "Missing conference targets"}}};
constexpr std::array<PayloadKey, 1> kConferenceTarget = {
    {{"target", KeyRule::nonBlank, "Missing conference target"}}};
constexpr std::array<PayloadKey, 1> kMuted = {{{"muted", KeyRule::flag, ""}}};
constexpr std::array<PayloadKey, 1> kDigit = {{{"digit", KeyRule::nonEmpty, "Missing DTMF digit", traceMissingDigit}}};
constexpr std::array<PayloadKey, 1> kOutputDevice = {{{"deviceId", KeyRule::nonEmpty, "Missing audio device id"}}};
constexpr std::array<PayloadKey, 1> kInputDevice = {
    {{"deviceId", KeyRule::nonEmpty, "Missing audio input device id"}}};

constexpr std::array<CommandRow, kCommandCount> kRows = {{
    {Command::initialize, "INITIALIZE", false, {}, "sdkRoot"},
    {Command::registerAccount, "REGISTER", true, kRegisterKeys, "registered"},
    {Command::makeCall, "MAKE_CALL", true, kCallTarget, ""},
    {Command::inviteConference, "INVITE_CONFERENCE", true, kConferenceTargets, "invitedCount"},
    {Command::removeConferenceParticipant, "REMOVE_CONFERENCE_PARTICIPANT", true, kConferenceTarget, ""},
    {Command::answerCall, "ANSWER_CALL", true, {}, ""},
    // These four read the engine inside their work: before INITIALIZE they
    // succeed doing nothing, or (SEND_DTMF) fail there with a trace line.
    {Command::hangupCall, "HANGUP_CALL", false, {}, ""},
    {Command::unregister, "UNREGISTER", false, {}, ""},
    {Command::setMicMuted, "SET_MIC_MUTED", false, kMuted, ""},
    {Command::sendDtmf, "SEND_DTMF", false, kDigit, ""},
    {Command::isInCall, "IS_IN_CALL", false, {}, "inCall"},
    {Command::getCurrentRemoteAddress, "GET_CURRENT_REMOTE_ADDRESS", false, {}, "remoteAddress"},
    {Command::getRegistrationState, "GET_REGISTRATION_STATE", false, {}, "state"},
    // Answers three values; see the dispatcher.
    {Command::getCallState, "GET_CALL_STATE", false, {}, "state"},
    {Command::getAudioDevices, "GET_AUDIO_DEVICES", true, {}, "devicesJson"},
    {Command::setAudioDevice, "SET_AUDIO_DEVICE", true, kOutputDevice, ""},
    {Command::getAudioInputDevices, "GET_AUDIO_INPUT_DEVICES", true, {}, "devicesJson"},
    {Command::setAudioInputDevice, "SET_AUDIO_INPUT_DEVICE", true, kInputDevice, ""},
    // Answers several values; see the dispatcher.
    {Command::getCallSecurity, "GET_CALL_SECURITY", false, {}, ""},
}};

constexpr bool rowsFollowOrdinals() {
  for (std::size_t i = 0; i < kRows.size(); ++i)
    if (static_cast<std::size_t>(kRows[i].command) != i) return false;
  return true;
}
static_assert(rowsFollowOrdinals(), "command rows must be in ordinal order");

constexpr bool keysFit() {
  for (const CommandRow& row : kRows)
    if (row.keys.size() > kMaxPayloadKeys) return false;
  return true;
}
static_assert(keysFit(), "raise kMaxPayloadKeys");

}  // namespace

std::span<const CommandRow, kCommandCount> commandTable() { return kRows; }

const CommandRow& commandRow(HelperBridgeCommand command) { return kRows[static_cast<std::size_t>(command)]; }

std::string_view wireName(HelperBridgeCommand command) { return commandRow(command).wireName; }

std::optional<HelperBridgeCommand> commandFromWireName(std::string_view name) {
  for (const CommandRow& row : kRows)
    if (row.wireName == name) return row.command;
  return std::nullopt;
}

}  // namespace tavirel::bridge
