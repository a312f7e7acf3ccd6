// Engine-side logic that needs no running engine: the mirror's tables and
// locking, the registrar text, the gain text, the re-scan guard, the codec
// choice, the engine log line and the UDP port probe.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <thread>

#include "audio/device_kinds.h"
#include "audio/platform_audio.h"
#include "engine/core_setup.h"
#include "engine/event_mirror.h"
#include "engine/registration.h"

namespace tavirel::engine {
namespace {

TEST(EventMirrorTables, CallStates) {
  struct Row {
    LinphoneCallState state;
    const char* text;
    bool reset, remote;
  };
  const Row rows[] = {
      {LinphoneCallStateIdle, "idle", false, false},
      {LinphoneCallStateIncomingReceived, "incomingReceived", true, true},
      {LinphoneCallStatePushIncomingReceived, "idle", false, false},
      {LinphoneCallStateOutgoingInit, "outgoingInit", true, true},
      {LinphoneCallStateOutgoingProgress, "outgoingProgress", true, true},
      {LinphoneCallStateOutgoingRinging, "outgoingRinging", true, true},
      {LinphoneCallStateOutgoingEarlyMedia, "idle", false, false},
      {LinphoneCallStateConnected, "idle", false, false},
      {LinphoneCallStateStreamsRunning, "streamsRunning", true, true},
      {LinphoneCallStatePausing, "idle", false, false},
      {LinphoneCallStatePaused, "idle", false, false},
      {LinphoneCallStateResuming, "idle", false, false},
      {LinphoneCallStateReferred, "idle", false, false},
      {LinphoneCallStateError, "error", false, false},
      {LinphoneCallStateEnd, "end", false, true},
      {LinphoneCallStatePausedByRemote, "idle", false, false},
      {LinphoneCallStateUpdatedByRemote, "idle", false, false},
      {LinphoneCallStateIncomingEarlyMedia, "idle", false, false},
      {LinphoneCallStateUpdating, "idle", false, false},
      {LinphoneCallStateReleased, "released", false, true},
      {LinphoneCallStateEarlyUpdatedByRemote, "idle", false, false},
      {LinphoneCallStateEarlyUpdating, "idle", false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text + std::string(" for state ") + std::to_string(row.state));
    const auto mirror = callStateMirror(row.state);
    EXPECT_EQ(mirror.text, row.text);
    EXPECT_EQ(mirror.resetsCallLog, row.reset);
    EXPECT_EQ(mirror.recordsRemoteAddress, row.remote);
  }
  EXPECT_EQ(callStateMirror(99).text, "idle");
  EXPECT_EQ(callStateMirror(-1).text, "idle");
}

TEST(EventMirrorTables, CallLogStatusesAndRegistrationStates) {
  EXPECT_EQ(mapCallLogStatus(LinphoneCallSuccess), "success");
  EXPECT_EQ(mapCallLogStatus(LinphoneCallAborted), "aborted");
  EXPECT_EQ(mapCallLogStatus(LinphoneCallMissed), "missed");
  EXPECT_EQ(mapCallLogStatus(LinphoneCallDeclined), "declined");
  EXPECT_EQ(mapCallLogStatus(LinphoneCallEarlyAborted), "earlyAborted");
  EXPECT_EQ(mapCallLogStatus(LinphoneCallAcceptedElsewhere), "acceptedElsewhere");
  EXPECT_EQ(mapCallLogStatus(LinphoneCallDeclinedElsewhere), "declinedElsewhere");

  EXPECT_EQ(registrationStateText(LinphoneRegistrationNone), "none");
  EXPECT_EQ(registrationStateText(LinphoneRegistrationProgress), "progress");
  EXPECT_EQ(registrationStateText(LinphoneRegistrationOk), "ok");
  EXPECT_EQ(registrationStateText(LinphoneRegistrationCleared), "cleared");
  EXPECT_EQ(registrationStateText(LinphoneRegistrationFailed), "failed");
  EXPECT_EQ(registrationStateText(5), "none");  // Refreshing, in engines that have it
  EXPECT_EQ(registrationStateText(42), "none");
}

TEST(EventMirror, CallWalkKeepsLastRemoteAndResetsTheLogStatus) {
  HelperState state;
  mirrorCallState(state, LinphoneCallStateIncomingReceived, "sip:bob@127.0.0.1");
  mirrorCallLogStatus(state, LinphoneCallSuccess);
  EXPECT_EQ(state.callLogStatusStr, "success");
  mirrorCallState(state, LinphoneCallStateConnected, "sip:ignored@elsewhere");
  EXPECT_EQ(state.callStateStr, "idle");
  EXPECT_EQ(state.callLogStatusStr, "success");  // only the "reset" states clear it
  mirrorCallState(state, LinphoneCallStateStreamsRunning, "");
  EXPECT_EQ(state.callStateStr, "streamsRunning");
  EXPECT_EQ(state.callLogStatusStr, "none");
  EXPECT_EQ(state.currentRemoteAddr, "sip:bob@127.0.0.1");  // an empty address changes nothing
  mirrorCallState(state, LinphoneCallStateReleased, "sip:bob@127.0.0.1:5070");
  mirrorCallLogStatus(state, LinphoneCallMissed);
  EXPECT_EQ(state.callStateStr, "released");
  EXPECT_EQ(state.currentRemoteAddr, "sip:bob@127.0.0.1:5070");
  EXPECT_EQ(state.callLogStatusStr, "missed");
}

TEST(EventMirror, RegistrationCompletionRunsAfterTheLockIsReleased) {
  HelperState state;
  std::vector<std::pair<LinphoneRegistrationState, bool>> seen;  // state, lock was free
  state.registrationCompletion = [&](LinphoneRegistrationState registration) {
    std::unique_lock lock(state.stateLock, std::try_to_lock);
    seen.emplace_back(registration, lock.owns_lock());
    if (lock.owns_lock()) {
      EXPECT_EQ(state.registrationStateStr, registrationStateText(registration));
    }
  };
  mirrorRegistrationState(state, LinphoneRegistrationProgress);
  mirrorRegistrationState(state, LinphoneRegistrationOk);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_pair(LinphoneRegistrationProgress, true));
  EXPECT_EQ(seen[1], std::make_pair(LinphoneRegistrationOk, true));
  EXPECT_TRUE(state.registrationCompletion) << "the handler must not clear the completion";

  state.registrationCompletion = nullptr;
  mirrorRegistrationState(state, LinphoneRegistrationCleared);
  EXPECT_EQ(state.registrationStateStr, "cleared");
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
  EXPECT_EQ(parsed("host:abc"), "host|abc");  // not checked here; the engine refuses it
  EXPECT_EQ(parsed(""), "<none>");
  EXPECT_EQ(parsed(":"), "<none>");
  EXPECT_EQ(parsed(":::"), "<none>");
}

TEST(PlatformAudio, GainTextIsShortestRoundTripWithPointZero) {
  EXPECT_EQ(audio::formatGainDb(6.0f), "6.0");
  EXPECT_EQ(audio::formatGainDb(HelperState::playbackGainDb), "6.0");
  EXPECT_EQ(audio::formatGainDb(0.0f), "0.0");
  EXPECT_EQ(audio::formatGainDb(-3.0f), "-3.0");
  EXPECT_EQ(audio::formatGainDb(6.5f), "6.5");
  EXPECT_EQ(audio::formatGainDb(0.1f), "0.1");  // not 0.100000001
  EXPECT_EQ(audio::formatGainDb(1e-5f), "1e-05");
}

TEST(PlatformAudio, ReloadRequestedDuringAReloadIsSkipped) {
  bool reloading = false;
  int reloads = 0, nestedRan = 0;
  const bool ran = audio::reloadSoundDevicesIfNeeded(reloading, [&] {
    ++reloads;
    // The engine reports a device-list update from inside its own re-scan.
    if (audio::reloadSoundDevicesIfNeeded(reloading, [&] { ++reloads; })) ++nestedRan;
  });
  EXPECT_TRUE(ran);
  EXPECT_EQ(reloads, 1);
  EXPECT_EQ(nestedRan, 0);
  EXPECT_FALSE(reloading);
  EXPECT_TRUE(audio::reloadSoundDevicesIfNeeded(reloading, [&] { ++reloads; }));
  EXPECT_EQ(reloads, 2);
}

TEST(PlatformAudio, DeviceKindNames) {
  EXPECT_EQ(audio::deviceKindName(LinphoneAudioDeviceTypeUnknown), "Unknown");
  EXPECT_EQ(audio::deviceKindName(LinphoneAudioDeviceTypeMicrophone), "Microphone");
  EXPECT_EQ(audio::deviceKindName(LinphoneAudioDeviceTypeBluetoothA2DP), "BluetoothA2DP");
  EXPECT_EQ(audio::deviceKindName(LinphoneAudioDeviceTypeGenericUsb), "GenericUsb");
  EXPECT_EQ(audio::deviceKindName(LinphoneAudioDeviceTypeHeadphones), "Headphones");
  EXPECT_EQ(audio::deviceKindName(11), "HearingAid");
  EXPECT_EQ(audio::deviceKindName(12), "Unknown");
  EXPECT_EQ(audio::deviceKindName(-1), "Unknown");
}

TEST(CoreSetup, OnlyG711AndG729StayEnabledInAnyLetterCase) {
  for (const char* allowed : {"PCMA", "PCMU", "G729", "pcmu", "Pcma", "g729"})
    EXPECT_TRUE(isAllowedAudioCodec(allowed)) << allowed;
  for (const char* refused : {"opus", "OPUS", "speex", "G7291", "PCM", "telephone-event", ""})
    EXPECT_FALSE(isAllowedAudioCodec(refused)) << refused;
}

TEST(CoreSetup, EngineLogLineForm) {
  EXPECT_EQ(engineLogLine(LinphoneLogLevelWarning, "belle-sip", "no route"),
            "[LogLevel(rawValue: 8)] [belle-sip] no route\n");
  EXPECT_EQ(engineLogLine(LinphoneLogLevelError, "", ""), "[LogLevel(rawValue: 16)] [] \n");
}

TEST(CoreSetup, UdpPortProbe) {
  const auto port = getAvailableUDPPort();
  ASSERT_TRUE(port);
  EXPECT_GT(*port, 0);
  EXPECT_LE(*port, 65535);

  // No socket can be opened: no port, and no crash.
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
