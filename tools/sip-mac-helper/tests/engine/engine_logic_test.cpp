// Engine-side logic that needs no running engine: the mirror's tables and
// locking, the registrar text, the gain text, the re-scan guard, the codec
// choice, the UDP port probe and the lengths of text the engine is given.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <sys/resource.h>

#include <map>

#include "audio/device_kinds.h"
#include "audio/platform_audio.h"
#include "engine/core_setup.h"
#include "engine/engine_guards.h"
#include "engine/event_mirror.h"
#include "engine/input_limits.h"
#include "engine/registration.h"

namespace tavirel::engine {
namespace {

TEST(EventMirrorTables, EveryCallStateWithoutItsOwnNameReadsIdle) {
  // text, resets the call-log status, records the remote address
  const std::map<int, std::tuple<std::string_view, bool, bool>> named = {
      {LinphoneCallStateIncomingReceived, {"incomingReceived", true, true}},
      {LinphoneCallStateOutgoingInit, {"outgoingInit", true, true}},
      {LinphoneCallStateOutgoingProgress, {"outgoingProgress", true, true}},
      {LinphoneCallStateOutgoingRinging, {"outgoingRinging", true, true}},
      {LinphoneCallStateStreamsRunning, {"streamsRunning", true, true}},
      {LinphoneCallStateError, {"error", false, false}},
      {LinphoneCallStateEnd, {"end", false, true}},
      {LinphoneCallStateReleased, {"released", false, true}},
  };
  for (int state = -1; state <= LinphoneCallStateEarlyUpdating + 1; ++state) {
    const auto it = named.find(state);
    const auto expected = it != named.end() ? it->second : std::make_tuple(std::string_view("idle"), false, false);
    const auto mirror = callStateMirror(state);
    EXPECT_EQ(std::make_tuple(mirror.text, mirror.resetsCallLog, mirror.recordsRemoteAddress), expected)
        << "call state " << state;
  }
}

TEST(EventMirrorTables, CallLogStatusesAndRegistrationStates) {
  const char* statuses[] = {"success", "aborted", "missed", "declined", "earlyAborted", "acceptedElsewhere",
                            "declinedElsewhere"};
  for (int status = LinphoneCallSuccess; status <= LinphoneCallDeclinedElsewhere; ++status)
    EXPECT_EQ(mapCallLogStatus(status), statuses[status]);
  // None, Progress, Ok, Cleared, Failed, then Refreshing of newer engines.
  const char* registrations[] = {"none", "progress", "ok", "cleared", "failed", "none", "none"};
  for (int state = 0; state < 7; ++state) EXPECT_EQ(registrationStateText(state), registrations[state]);
}

TEST(EventMirror, CallWalkKeepsLastRemoteAndResetsTheLogStatus) {
  MirroredState state;
  mirrorCallState(state, LinphoneCallStateIncomingReceived, "sip:bob@127.0.0.1");
  mirrorCallLogStatus(state, LinphoneCallSuccess);
  mirrorCallState(state, LinphoneCallStateConnected, "sip:ignored@elsewhere");
  EXPECT_EQ(state.callStateStr, "idle");
  EXPECT_EQ(state.callLogStatusStr, "success");  // only the "reset" states clear it
  mirrorCallState(state, LinphoneCallStateStreamsRunning, "");
  EXPECT_EQ(state.callLogStatusStr, "none");
  EXPECT_EQ(state.currentRemoteAddr, "sip:bob@127.0.0.1");  // an empty address changes nothing
  mirrorCallState(state, LinphoneCallStateReleased, "sip:bob@127.0.0.1:5070");
  mirrorCallLogStatus(state, LinphoneCallMissed);
  EXPECT_EQ(state.callStateStr, "released");
  EXPECT_EQ(state.currentRemoteAddr, "sip:bob@127.0.0.1:5070");
  EXPECT_EQ(state.callLogStatusStr, "missed");
}

// A call placed right after a hang-up: the old call's release lands among
// the new call's first events and must not make it read "released".
TEST(EventMirror, ALateReleaseOfAnEndedCallDoesNotHideTheNextCall) {
  int first = 0, second = 0, third = 0;
  LateReleaseFilter filter;
  EXPECT_TRUE(filter.admits(&first, LinphoneCallStateStreamsRunning));
  EXPECT_TRUE(filter.admits(&first, LinphoneCallStateEnd));
  EXPECT_TRUE(filter.admits(&second, LinphoneCallStateIncomingReceived));
  EXPECT_FALSE(filter.admits(&first, LinphoneCallStateReleased)) << "late: the next call had an event since";
  EXPECT_TRUE(filter.admits(&second, LinphoneCallStateStreamsRunning));
  // In order, a release passes, also for a call that never streamed.
  EXPECT_TRUE(filter.admits(&second, LinphoneCallStateEnd));
  EXPECT_TRUE(filter.admits(&second, LinphoneCallStateReleased));
  EXPECT_TRUE(filter.admits(&third, LinphoneCallStateError));
  EXPECT_TRUE(filter.admits(&third, LinphoneCallStateReleased)) << "no End: not a call whose end was mirrored";
  // The next call's own events always pass, and a release is judged once.
  EXPECT_TRUE(filter.admits(&first, LinphoneCallStateOutgoingInit));
  EXPECT_TRUE(filter.admits(&first, LinphoneCallStateEnd));
  EXPECT_TRUE(filter.admits(&first, LinphoneCallStateReleased));
}

TEST(EventMirror, RegistrationCompletionRunsAfterTheLockIsReleased) {
  MirroredState state;
  std::vector<std::string> seen;  // what the completion could read under the lock
  state.registrationCompletion = {.account = nullptr, .onChange = [&](LinphoneRegistrationState) {
    std::unique_lock lock(state.stateLock, std::try_to_lock);
    seen.push_back(lock.owns_lock() ? state.registrationStateStr : "<lock held>");
  }};
  mirrorRegistrationState(state, nullptr, LinphoneRegistrationProgress);
  mirrorRegistrationState(state, nullptr, LinphoneRegistrationOk);
  EXPECT_EQ(seen, (std::vector<std::string>{"progress", "ok"}));
  EXPECT_TRUE(state.registrationCompletion) << "only REGISTER clears the completion";
}

// An account that REGISTER replaced may still report, for instance a failed
// challenge answered after it was removed. The state shows every change,
// but only the new account's outcome may answer the REGISTER waiting for it.
TEST(EventMirror, OnlyTheNewAccountsOutcomeReachesTheWaitingRegister) {
  MirroredState state;
  const auto* replaced = reinterpret_cast<const LinphoneAccount*>(0x1000);
  const auto* current = reinterpret_cast<const LinphoneAccount*>(0x2000);
  std::vector<LinphoneRegistrationState> heard;
  state.registrationCompletion = {.account = current,
                                  .onChange = [&](LinphoneRegistrationState change) { heard.push_back(change); }};
  mirrorRegistrationState(state, replaced, LinphoneRegistrationFailed);
  EXPECT_EQ(state.registrationStateStr, "failed");
  EXPECT_TRUE(heard.empty());
  mirrorRegistrationState(state, current, LinphoneRegistrationOk);
  EXPECT_EQ(state.registrationStateStr, "ok");
  EXPECT_EQ(heard, (std::vector<LinphoneRegistrationState>{LinphoneRegistrationOk}));
}

int notExported() { return 1; }

TEST(EngineGuards, OnlyADefinitionTheLinkerResolvesCountsAsActive) {
  const auto before = inactiveEngineGuards();
  // A library function resolves to itself; a function this program does not
  // export resolves to nothing, as a guard would in a program linked without
  // exporting it.
  registerEngineGuard("dlsym", reinterpret_cast<const void*>(&dlsym));
  registerEngineGuard("tavirelNotExported", reinterpret_cast<const void*>(&notExported));
  auto after = inactiveEngineGuards();
  ASSERT_EQ(after.size(), before.size() + 1);
  EXPECT_EQ(after.back(), "tavirelNotExported");
}

TEST(RegistrarText, HostAndPort) {
  auto parsed = [](std::string_view server) {
    const auto r = parseRegistrar(server);
    return r ? r->host + "|" + r->port : std::string("<none>");
  };
  EXPECT_EQ(parsed("sip.example.org"), "sip.example.org|5060");
  EXPECT_EQ(parsed("sip.example.org:"), "sip.example.org|5060");
  EXPECT_EQ(parsed("sip.example.org:5070"), "sip.example.org|5070");
  EXPECT_EQ(parsed("host:5070:extra"), "host|5070:extra");  // all after the first colon
  EXPECT_EQ(parsed("host::5070"), "host|:5070");
  EXPECT_EQ(parsed(":5070"), "5070|5060");  // empty pieces are dropped first
  for (const char* noHost : {"", ":", ":::"}) EXPECT_EQ(parsed(noHost), "<none>");
}

// The engine cuts an address at 1023 bytes as written, escapes included: 340
// backslashes (1,020 bytes escaped) crashed it where 10,000 letters did not.
TEST(InputLimits, EscapedBytesCountThreeAndTheLimitsHoldExactly) {
  EXPECT_EQ(escapedLengthBound("sip:bob@example.org"), 23u);  // ':' and '@' may be escaped
  EXPECT_EQ(escapedLengthBound("Az09-_.!~*'()"), 13u);
  EXPECT_EQ(escapedLengthBound("\\%% <>\""), 21u);
  EXPECT_EQ(escapedLengthBound("\xc3\xa9"), 6u);  // one non-ASCII letter, two bytes

  EXPECT_TRUE(fitsCallTarget(""));
  EXPECT_TRUE(fitsCallTarget(std::string(kMaxTargetLength, 'a')));
  EXPECT_FALSE(fitsCallTarget(std::string(kMaxTargetLength + 1, 'a')));
  EXPECT_TRUE(fitsCallTarget(std::string(kMaxTargetLength / 3, '\\')));
  EXPECT_FALSE(fitsCallTarget(std::string(kMaxTargetLength / 3 + 1, '\\')));
  // A long but ordinary address is still called.
  EXPECT_TRUE(fitsCallTarget("sip:" + std::string(300, 'x') + "@sip.example.org;transport=udp"));

  EXPECT_EQ(accountTextProblem(std::string(kMaxAccountLength, 'a'), std::string(kMaxServerLength, 'h')), std::nullopt);
  EXPECT_EQ(accountTextProblem(std::string(kMaxAccountLength + 1, 'a'), "h"),
            "sipAccount too long (more than 256 bytes once escaped)");
  EXPECT_EQ(accountTextProblem("alice", std::string(kMaxServerLength / 3 + 1, '[')),
            "server too long (more than 256 bytes once escaped)");
  // The account is named first when both are too long.
  EXPECT_EQ(accountTextProblem(std::string(20000, 'a'), std::string(20000, 'h')),
            "sipAccount too long (more than 256 bytes once escaped)");
}

TEST(PlatformAudio, GainTextIsShortestRoundTripWithPointZero) {
  EXPECT_EQ(audio::formatGainDb(HelperState::playbackGainDb), "6.0");
  EXPECT_EQ(audio::formatGainDb(-3.0f), "-3.0");
  EXPECT_EQ(audio::formatGainDb(0.1f), "0.1");  // not 0.100000001
  EXPECT_EQ(audio::formatGainDb(1e-5f), "1e-05");
}

TEST(PlatformAudio, ReloadRequestedDuringAReloadIsSkipped) {
  bool reloading = false;
  int reloads = 0;
  bool nestedRan = true;
  EXPECT_TRUE(audio::reloadSoundDevicesIfNeeded(reloading, [&] {
    ++reloads;
    // The engine reports a device-list update from inside its own re-scan.
    nestedRan = audio::reloadSoundDevicesIfNeeded(reloading, [&] { ++reloads; });
  }));
  EXPECT_FALSE(nestedRan);
  EXPECT_FALSE(reloading);
  EXPECT_TRUE(audio::reloadSoundDevicesIfNeeded(reloading, [&] { ++reloads; }));
  EXPECT_EQ(reloads, 2);
}

TEST(PlatformAudio, DeviceKindNamesIncludingOnesThisEngineLacks) {
  EXPECT_EQ(audio::deviceKindName(LinphoneAudioDeviceTypeBluetoothA2DP), "BluetoothA2DP");
  EXPECT_EQ(audio::deviceKindName(LinphoneAudioDeviceTypeHeadphones), "Headphones");
  EXPECT_EQ(audio::deviceKindName(11), "HearingAid");
  EXPECT_EQ(audio::deviceKindName(12), "Unknown");
  EXPECT_EQ(audio::deviceKindName(-1), "Unknown");
}

TEST(CoreSetup, OnlyG711AndG729StayEnabledInAnyLetterCase) {
  for (const char* allowed : {"PCMA", "PCMU", "G729", "pcmu", "Pcma", "g729"})
    EXPECT_TRUE(isAllowedAudioCodec(allowed)) << allowed;
  for (const char* refused : {"opus", "speex", "G7291", "PCM", "telephone-event", ""})
    EXPECT_FALSE(isAllowedAudioCodec(refused)) << refused;
}

TEST(CoreSetup, UdpPortProbe) {
  const auto port = getAvailableUDPPort();
  ASSERT_TRUE(port);
  EXPECT_GT(*port, 0);
  EXPECT_LE(*port, 65535);

  // No socket can be opened: no port (the engine then picks its own).
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  const auto withoutDescriptors = getAvailableUDPPort();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(withoutDescriptors, std::nullopt);
}

}  // namespace
}  // namespace tavirel::engine
