// Signalling over TLS and encrypted media, end to end: real helpers, a real
// kamailio with a TLS listener whose certificates a CA made for this run
// issued, and a capture of loopback showing what went over the wire.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "Baresip.h"
#include "HelperClient.h"
#include "Kamailio.h"
#include "LoopbackCapture.h"
#include "Parties.h"
#include "ProcSockets.h"
#include "PulseAudio.h"
#include "Sipp.h"
#include "TestCertificates.h"

namespace tavirel::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr auto kCallSetup = 20s;

struct Security {
  std::string transport;   // empty: key left out
  std::string encryption;  // empty: key left out
};

json registerAs(HelperClient& helper, const std::string& user, const std::string& server, const Security& security) {
  json payload = {{"sipAccount", user}, {"sipPassword", Kamailio::user(user).password}, {"server", server}};
  if (!security.transport.empty()) payload["transport"] = security.transport;
  if (!security.encryption.empty()) payload["mediaEncryption"] = security.encryption;
  return helper.request("REGISTER", payload, {}, 30s);
}

HelperOptions trusting(const TestCertificateAuthority* ca) {
  HelperOptions options;
  if (ca != nullptr) options.env["TAVIREL_SIP_ROOT_CA"] = ca->rootFile().string();
  return options;
}

std::unique_ptr<HelperClient> registered(const std::string& user, const std::string& server, const Security& security,
                                         const SoundServer* pulse, const TestCertificateAuthority* ca) {
  auto helper = startInitializedHelper(pulse, trusting(ca));
  const json response = registerAs(*helper, user, server, security);
  if (!response.value("success", false))
    throw std::runtime_error("REGISTER " + user + " failed: " + response.dump() + "\n" + helper->stderrText());
  return helper;
}

bool waitForCallState(HelperClient& helper, const std::string& state, Clock::duration timeout = kCallSetup) {
  return helper.waitForState("GET_CALL_STATE", state, timeout).satisfied;
}

// Every path under `home` but those under its runtime directory ("run", the
// client's XDG_RUNTIME_DIR), where the helper may keep files while it runs.
std::set<std::string> filesUnderHome(const std::filesystem::path& home) {
  std::set<std::string> files;
  for (auto it = std::filesystem::recursive_directory_iterator(home); it != std::filesystem::end(it); ++it) {
    if (it->path() == home / "run") {
      it.disable_recursion_pending();
      continue;
    }
    files.insert(it->path().string());
  }
  return files;
}

// The ports the parties of one test use, gathered while it runs (media
// ports come and go with the call): the suite runs tests side by side in
// one network namespace, so the capture sees other tests' traffic too.
class PartyPorts {
 public:
  explicit PartyPorts(std::vector<pid_t> pids, std::vector<std::uint16_t> fixed = {})
      : pids_(std::move(pids)), ports_(fixed.begin(), fixed.end()), poller_([this] { poll(); }) {}
  ~PartyPorts() {
    stopping_ = true;
    poller_.join();
  }
  PartyPorts(const PartyPorts&) = delete;
  PartyPorts& operator=(const PartyPorts&) = delete;

  // The captured packets from or to one of the ports.
  std::vector<CapturedPacket> of(const std::vector<CapturedPacket>& packets) {
    gather();
    std::lock_guard guard(lock_);
    std::vector<CapturedPacket> ours;
    for (const CapturedPacket& packet : packets)
      if (ports_.count(packet.sourcePort) != 0 || ports_.count(packet.destinationPort) != 0) ours.push_back(packet);
    return ours;
  }

 private:
  void gather() {
    std::set<std::uint16_t> now;
    for (const pid_t pid : pids_)
      for (const char* table : {"udp", "tcp"})
        for (const std::uint16_t port : boundPorts(pid, table)) now.insert(port);
    std::lock_guard guard(lock_);
    ports_.insert(now.begin(), now.end());
  }
  void poll() {
    while (!stopping_) {
      gather();
      std::this_thread::sleep_for(20ms);
    }
  }

  const std::vector<pid_t> pids_;
  std::mutex lock_;
  std::set<std::uint16_t> ports_;
  std::atomic<bool> stopping_{false};
  std::thread poller_;
};

// Whether any captured packet carries readable SIP.
bool sawClearSip(const std::vector<CapturedPacket>& packets) {
  for (const CapturedPacket& packet : packets)
    if (packet.payload.find("SIP/2.0") != std::string::npos) return true;
  return false;
}

struct MediaSeen {
  int rtp = 0;    // UDP packets that look like G.711 RTP, encrypted or not
  int clear = 0;  // of those, readable samples
};

MediaSeen mediaIn(const std::vector<CapturedPacket>& packets) {
  MediaSeen seen;
  for (const CapturedPacket& packet : packets) {
    if (packet.tcp || packet.payload.size() < 12) continue;
    const auto first = static_cast<unsigned char>(packet.payload[0]);
    const int type = static_cast<unsigned char>(packet.payload[1]) & 0x7f;
    if ((first >> 6) != 2 || (type != 0 && type != 8)) continue;
    ++seen.rtp;
    if (isClearG711(packet.payload)) ++seen.clear;
  }
  return seen;
}

// GET_CALL_SECURITY's payload once the media are encrypted (keys may be
// agreed after the answer: DTLS, ZRTP), or the last one at the deadline.
json securityOnceEncrypted(HelperClient& helper) {
  const auto encrypted = [](const json& r) { return r["payload"].value("encrypted", false); };
  return helper.waitFor("GET_CALL_SECURITY", encrypted, 10s).lastResponse["payload"];
}

// The call's media went over the wire (at least `rtp` packets), none of it
// readable.
void expectEncryptedMedia(const std::vector<CapturedPacket>& packets, int rtp) {
  const MediaSeen media = mediaIn(packets);
  EXPECT_GT(media.rtp, rtp);
  EXPECT_EQ(media.clear, 0);
}

class SecureCalls : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure()) std::cerr << "--- registrar log ---\n" << registrar->logText();
  }

  // Calls `callee` from `caller`, waits until both run the call, and returns
  // each side's GET_CALL_SECURITY.
  std::pair<json, json> establish(HelperClient& caller, HelperClient& callee, const std::string& calleeUri) {
    EXPECT_TRUE(caller.request("MAKE_CALL", {{"target", calleeUri}}).value("success", false));
    EXPECT_TRUE(waitForCallState(callee, "incomingReceived")) << callee.stderrText();
    EXPECT_TRUE(callee.request("ANSWER_CALL").value("success", false)) << callee.stderrText();
    EXPECT_TRUE(waitForCallState(caller, "streamsRunning")) << caller.stderrText();
    EXPECT_TRUE(waitForCallState(callee, "streamsRunning")) << callee.stderrText();
    return {securityOnceEncrypted(caller), securityOnceEncrypted(callee)};
  }

  PulseAudio pulse;
  TestCertificateAuthority ca{"tavirel test root"};
  IssuedCertificate byAddress =
      ca.issue("by-address", {.commonName = "tavirel test registrar", .ipAddresses = {"127.0.0.1"}});
  std::unique_ptr<Kamailio> registrar =
      std::make_unique<Kamailio>(KamailioTls{byAddress.certificate, byAddress.privateKey});
};

TEST_F(SecureCalls, TlsWithSrtpBetweenTwoHelpersLeavesNothingReadableOnTheWire) {
  LoopbackCapture capture;
  const Security secure{"tls", "srtp"};
  auto alice = registered("alice", registrar->tlsServer(), secure, &pulse, &ca);
  auto bob = registered("bob", registrar->tlsServer(), secure, &pulse, &ca);
  PartyPorts ports({alice->process().pid(), bob->process().pid()}, {registrar->tlsPort()});
  EXPECT_EQ(alice->query("GET_CALL_SECURITY"),
            json({{"signalling", "none"}, {"mediaEncryption", "none"}, {"encrypted", false}}));

  const auto [aliceSide, bobSide] = establish(*alice, *bob, registrar->uri("bob"));
  const json expected = {{"signalling", "tls"}, {"mediaEncryption", "srtp"}, {"encrypted", true}};
  EXPECT_EQ(aliceSide, expected) << alice->stderrText();
  EXPECT_EQ(bobSide, expected) << bob->stderrText();
  std::this_thread::sleep_for(1s);  // a second of media on the wire
  EXPECT_TRUE(alice->request("HANGUP_CALL").value("success", false));
  EXPECT_TRUE(waitForCallState(*bob, "released"));

  const auto packets = ports.of(capture.packets());
  EXPECT_FALSE(sawClearSip(packets));
  expectEncryptedMedia(packets, 40);
}

TEST_F(SecureCalls, DtlsSrtpOverUdpKeepsNothingUnderHome) {
  LoopbackCapture capture;
  const Security dtls{"", "dtls-srtp"};
  auto alice = registered("alice", registrar->server(), dtls, &pulse, &ca);
  auto bob = registered("bob", registrar->server(), dtls, &pulse, &ca);
  PartyPorts ports({alice->process().pid(), bob->process().pid()});
  const auto homeBefore = filesUnderHome(alice->home());
  const auto [aliceSide, bobSide] = establish(*alice, *bob, registrar->uri("bob"));
  const json expected = {{"signalling", "udp"}, {"mediaEncryption", "dtls-srtp"}, {"encrypted", true}};
  EXPECT_EQ(aliceSide, expected) << alice->stderrText();
  EXPECT_EQ(bobSide, expected) << bob->stderrText();
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(bob->request("HANGUP_CALL").value("success", false));
  EXPECT_TRUE(waitForCallState(*alice, "released"));

  expectEncryptedMedia(ports.of(capture.packets()), 40);
  // The engine's DTLS identity is kept in the helper's private directory,
  // not under HOME, and goes with the helper.
  EXPECT_EQ(filesUnderHome(alice->home()), homeBefore);
  ASSERT_TRUE(alice->closeAndWait().has_value());
  EXPECT_TRUE(std::filesystem::is_empty(alice->home() / "run")) << alice->home();
}

TEST_F(SecureCalls, ZrtpGivesBothSidesTheSameToken) {
  const Security zrtp{"", "zrtp"};
  auto alice = registered("alice", registrar->server(), zrtp, &pulse, &ca);
  auto bob = registered("bob", registrar->server(), zrtp, &pulse, &ca);
  const auto [aliceSide, bobSide] = establish(*alice, *bob, registrar->uri("bob"));
  EXPECT_EQ(aliceSide.value("mediaEncryption", ""), "zrtp") << aliceSide;
  EXPECT_TRUE(aliceSide.value("encrypted", false)) << aliceSide;
  const std::string token = aliceSide.value("authenticationToken", "");
  EXPECT_FALSE(token.empty()) << aliceSide;
  EXPECT_EQ(bobSide.value("authenticationToken", ""), token) << bobSide;
}

// Encryption asked for is never given up: a party that offers or answers
// only clear media gets no call in either direction, and no clear RTP
// leaves the helper.
TEST_F(SecureCalls, MandatoryMeansNoCallWithAClearParty) {
  LoopbackCapture capture;
  auto alice = registered("alice", registrar->server(), {"", "dtls-srtp"}, &pulse, &ca);
  PartyPorts ports({alice->process().pid()});

  Sipp clearCaller({.scenarioXml = sippRefusedCallScenario(488), .remote = registrar->server(), .service = "alice"});
  const auto callerEnd = clearCaller.waitExit(deadlineAfter(15s));
  ASSERT_TRUE(callerEnd.has_value()) << clearCaller.output();
  EXPECT_TRUE(callerEnd->success()) << clearCaller.output();
  EXPECT_FALSE(alice->query("IS_IN_CALL")["inCall"].get<bool>());
  // Declined before it rang: the mirrored call never showed it.
  EXPECT_EQ(alice->query("GET_CALL_STATE")["state"], "idle");

  Sipp clearCallee({.scenarioXml = sippAnswerScenario(), .service = "dave", .credentials = Kamailio::user("dave")});
  // sipp's answer scenario registers nothing; route dave to it by hand.
  Sipp registration({.scenarioXml = sippRegisterScenario(clearCallee.localPort(), 60, 200),
                     .remote = registrar->server(), .service = "dave", .credentials = Kamailio::user("dave")});
  ASSERT_TRUE(registration.waitExit(deadlineAfter(10s)).has_value()) << registration.output();
  ASSERT_TRUE(alice->request("MAKE_CALL", {{"target", registrar->uri("dave")}}).value("success", false));
  EXPECT_TRUE(waitForCallState(*alice, "released")) << alice->stderrText();
  EXPECT_FALSE(alice->query("IS_IN_CALL")["inCall"].get<bool>());
  // The clear answer ended the call at once with a BYE.
  ASSERT_TRUE(clearCallee.waitExit(deadlineAfter(15s)).has_value()) << clearCallee.output();
  EXPECT_NE(clearCallee.output().find("BYE sip:dave@"), std::string::npos) << clearCallee.output();
  EXPECT_EQ(mediaIn(ports.of(capture.packets())).clear, 0);
}

// The same with a user agent of another make, both ways: SDES over TLS, and
// DTLS-SRTP over UDP. The far party's microphone is a 440 Hz tone, so clear
// media would show it.
TEST_F(SecureCalls, WithBaresipBothWaysAndDtmfArrives) {
  const struct Mode {
    Security helper;
    bool tls;
    std::string baresipEncryption;
    json expected;
  } modes[] = {
      {{"tls", "srtp"}, true, "srtp-mand", {{"signalling", "tls"}, {"mediaEncryption", "srtp"}, {"encrypted", true}}},
      {{"", "dtls-srtp"}, false, "dtls_srtp",
       {{"signalling", "udp"}, {"mediaEncryption", "dtls-srtp"}, {"encrypted", true}}},
  };
  for (const Mode& mode : modes) {
    SCOPED_TRACE(mode.baresipEncryption);
    LoopbackCapture capture;
    auto alice = registered("alice", mode.tls ? registrar->tlsServer() : registrar->server(), mode.helper, &pulse, &ca);
    Baresip carol(*registrar, {.user = "carol", .tls = mode.tls, .mediaEncryption = mode.baresipEncryption,
                               .rootCa = ca.rootFile()});
    PartyPorts ports({alice->process().pid(), carol.pid()}, {registrar->tlsPort()});

    // The helper calls.
    ASSERT_TRUE(alice->request("MAKE_CALL", {{"target", registrar->uri("carol")}}).value("success", false));
    ASSERT_FALSE(carol.waitForEvent("CALL_INCOMING", deadlineAfter(kCallSetup)).is_null()) << carol.output();
    ASSERT_TRUE(carol.command("accept", deadlineAfter(5s))) << carol.output();
    ASSERT_TRUE(waitForCallState(*alice, "streamsRunning")) << alice->stderrText() << carol.output();
    EXPECT_EQ(securityOnceEncrypted(*alice), mode.expected);
    ASSERT_TRUE(alice->request("SEND_DTMF", {{"digit", "5"}}).value("success", false));
    const json digit = carol.waitForEvent("CALL_DTMF_START", deadlineAfter(5s));
    EXPECT_NE(digit.dump().find("\"5\""), std::string::npos) << digit << carol.output();
    EXPECT_TRUE(alice->request("HANGUP_CALL").value("success", false));
    EXPECT_FALSE(carol.waitForEvent("CALL_CLOSED", deadlineAfter(10s)).is_null());
    ASSERT_TRUE(waitForCallState(*alice, "released"));

    // The far party calls.
    carol.forgetEvents();
    ASSERT_TRUE(carol.command("dial " + registrar->uri("alice") + (mode.tls ? ";transport=tls" : ""), deadlineAfter(5s)))
        << carol.output();
    ASSERT_TRUE(waitForCallState(*alice, "incomingReceived")) << alice->stderrText() << carol.output();
    ASSERT_TRUE(alice->request("ANSWER_CALL").value("success", false));
    ASSERT_TRUE(waitForCallState(*alice, "streamsRunning")) << alice->stderrText() << carol.output();
    EXPECT_EQ(securityOnceEncrypted(*alice), mode.expected);
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(carol.command("hangup", deadlineAfter(5s)));
    EXPECT_TRUE(waitForCallState(*alice, "released"));

    const auto packets = ports.of(capture.packets());
    if (mode.tls) {
      EXPECT_FALSE(sawClearSip(packets));
    }
    expectEncryptedMedia(packets, 80);
  }
}

// The same for SDES over TLS, with a clear party of another make.
TEST_F(SecureCalls, MandatorySdesMeansNoCallWithAClearPartyOverTls) {
  LoopbackCapture capture;
  auto alice = registered("alice", registrar->tlsServer(), {"tls", "srtp"}, &pulse, &ca);
  Baresip carol(*registrar, {.user = "carol", .tls = true, .rootCa = ca.rootFile()});
  PartyPorts ports({alice->process().pid(), carol.pid()}, {registrar->tlsPort()});

  ASSERT_TRUE(carol.command("dial " + registrar->uri("alice") + ";transport=tls", deadlineAfter(5s)));
  const json refused = carol.waitForEvent("CALL_CLOSED", deadlineAfter(10s));
  EXPECT_EQ(refused.value("param", "").rfind("488", 0), 0u) << refused << carol.output();
  EXPECT_EQ(alice->query("GET_CALL_STATE")["state"], "idle");

  ASSERT_TRUE(alice->request("MAKE_CALL", {{"target", registrar->uri("carol")}}).value("success", false));
  EXPECT_TRUE(waitForCallState(*alice, "released")) << alice->stderrText() << carol.output();
  EXPECT_TRUE(carol.waitForEvent("CALL_ESTABLISHED", deadlineAfter(1s)).is_null());
  EXPECT_FALSE(alice->query("IS_IN_CALL")["inCall"].get<bool>());
  EXPECT_EQ(mediaIn(ports.of(capture.packets())).clear, 0);
}

class TlsRegistration : public ::testing::Test {
 protected:
  TestCertificateAuthority ca{"tavirel test root"};
};

TEST_F(TlsRegistration, VerifiesACertificateThatNamesTheHostOrListsTheAddress) {
  const IssuedCertificate byName =
      ca.issue("by-name", {.commonName = "tavirel test registrar", .dnsNames = {"localhost"}});
  const IssuedCertificate byAddress =
      ca.issue("by-address", {.commonName = "tavirel test registrar", .ipAddresses = {"127.0.0.1"}});
  for (const auto& [certificate, host] :
       {std::pair{byName, std::string("localhost")}, std::pair{byAddress, std::string("127.0.0.1")}}) {
    SCOPED_TRACE(host);
    Kamailio registrar(KamailioTls{certificate.certificate, certificate.privateKey});
    LoopbackCapture capture;
    auto helper = startInitializedHelper(nullptr, trusting(&ca));
    PartyPorts ports({helper->process().pid()}, {registrar.tlsPort()});
    const json response = registerAs(*helper, "alice", registrar.tlsServer(host), {"tls", ""});
    EXPECT_EQ(response["payload"]["registered"], true) << response << helper->stderrText() << registrar.logText();
    EXPECT_EQ(helper->query("GET_REGISTRATION_STATE")["state"], "ok");
    EXPECT_FALSE(registrar.contactsOf("alice").empty());
    const auto packets = ports.of(capture.packets());
    EXPECT_GT(packets.size(), 4u);  // the handshake and the registration, at least
    EXPECT_FALSE(sawClearSip(packets));
  }
}

TEST_F(TlsRegistration, RefusesAnUnknownRootAWrongNameAndAnExpiredCertificate) {
  TestCertificateAuthority stranger("somebody else's root");
  const struct {
    IssuedCertificate certificate;
    std::string reason;
  } cases[] = {
      {stranger.issue("unknown-root", {.commonName = "x", .ipAddresses = {"127.0.0.1"}}),
       "not issued by a trusted authority"},
      {ca.issue("wrong-name", {.commonName = "other.example", .dnsNames = {"other.example"}}),
       "issued for another name"},
      {ca.issue("expired", {.commonName = "x", .ipAddresses = {"127.0.0.1"}, .expired = true}), "expired"},
  };
  for (const auto& refused : cases) {
    SCOPED_TRACE(refused.reason);
    Kamailio registrar(KamailioTls{refused.certificate.certificate, refused.certificate.privateKey});
    auto helper = startInitializedHelper(nullptr, trusting(&ca));
    const auto started = Clock::now();
    const json response = registerAs(*helper, "alice", registrar.tlsServer(), {"tls", ""});
    EXPECT_LT(Clock::now() - started, 10s);
    EXPECT_EQ(response, json({{"requestId", response["requestId"]},
                              {"success", false},
                              {"payload", {{"registered", false}}}}));
    EXPECT_EQ(helper->query("GET_REGISTRATION_STATE")["state"], "failed");
    // Written before the registration fails, but read from the pipe on its own.
    EXPECT_TRUE(helper->process().waitForStderr("TLS certificate refused: " + refused.reason, deadlineAfter(5s)))
        << helper->stderrText();
    EXPECT_TRUE(registrar.contactsOf("alice").empty());
  }
}

TEST_F(TlsRegistration, KeysThatCannotBeHonouredAreRefusedAndTheAccountStays) {
  {
    HelperClient uninitialized;  // the query answers before INITIALIZE too
    EXPECT_EQ(uninitialized.query("GET_CALL_SECURITY"),
              json({{"signalling", "none"}, {"mediaEncryption", "none"}, {"encrypted", false}}));
  }
  Kamailio registrar;
  auto helper = startInitializedHelper(nullptr);
  ASSERT_EQ(registerAs(*helper, "alice", registrar.server(), {})["payload"]["registered"], true);
  const struct {
    json extra;
    std::string error;
  } cases[] = {
      {{{"transport", "sctp"}}, R"(Account setup failed: "transport" must be "udp", "tcp" or "tls")"},
      {{{"transport", true}}, R"(Account setup failed: "transport" must be "udp", "tcp" or "tls")"},
      {{{"mediaEncryption", "optional"}},
       R"(Account setup failed: "mediaEncryption" must be "none", "srtp", "dtls-srtp" or "zrtp")"},
      {{{"mediaEncryption", "srtp"}}, R"(Account setup failed: "mediaEncryption" "srtp" needs "transport" "tls")"},
      {{{"transport", "tcp"}, {"mediaEncryption", "srtp"}},
       R"(Account setup failed: "mediaEncryption" "srtp" needs "transport" "tls")"},
  };
  for (const auto& refused : cases) {
    json payload = {{"sipAccount", "bob"}, {"sipPassword", Kamailio::user("bob").password}, {"server", registrar.server()}};
    payload.update(refused.extra);
    const json response = helper->request("REGISTER", payload);
    EXPECT_EQ(response.value("success", true), false) << response;
    EXPECT_EQ(response.value("error", ""), refused.error) << response;
    EXPECT_FALSE(response.contains("payload")) << response;
  }
  EXPECT_EQ(helper->query("GET_REGISTRATION_STATE")["state"], "ok");
  EXPECT_FALSE(registrar.contactsOf("alice").empty());
  EXPECT_TRUE(registrar.contactsOf("bob").empty());
}

}  // namespace
}  // namespace tavirel::test
