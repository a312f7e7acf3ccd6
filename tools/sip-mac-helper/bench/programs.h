// The programs under test as the phases drive them: the helper and the
// limit program over the JSON bridge, the peer daemon over its text
// commands, each with a private HOME that goes with it; and the requests
// every phase makes of them.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Kamailio.h"
#include "TempDir.h"
#include "line_peer.h"
#include "options.h"
#include "pipe_process.h"

namespace tavirel::bench {

using Env = std::map<std::string, std::optional<std::string>>;

constexpr std::string_view kPeerPrompt = "daemon-linphone>";
// The peer's cheap command: the state of the current call, like
// GET_CALL_STATE (with no call it answers an error status, just as fast).
constexpr std::string_view kPeerCheapCommand = "call-status";

// "[bench] TEXT (load L)" on stderr.
void progress(const std::string& text);
std::string tailOfFile(const std::filesystem::path& file, std::size_t bytes = 3000);
double msSince(Clock::time_point start);

struct Running {
  test::TempDir home{"tavirel-bench"};
  std::unique_ptr<LinePeer> link;
  std::filesystem::path stderrFile;
  std::string events;  // the peer daemon's event blocks not yet looked at

  LinePeer& operator*() { return *link; }
  LinePeer* operator->() { return link.get(); }
  std::string log() const { return tailOfFile(stderrFile); }
};

std::unique_ptr<Running> startLimit(const Options& o);
std::unique_ptr<Running> startHelper(const Options& o, const Env& pulse);

// One bridge request; throws when the answer is not a JSON object.
nlohmann::json bridgeRequest(Running& program, const std::string& line, Clock::duration timeout = std::chrono::seconds(20));
std::string requestLine(const std::string& id, const std::string& command, const nlohmann::json& payload = nullptr);
// INITIALIZE on a running helper; its duration in milliseconds.
double initialize(Running& helper);
std::string callState(Running& helper);
bool inCall(Running& helper);
// REGISTER at the registrar; its duration in milliseconds.
double registerHelper(Running& helper, const test::Kamailio& registrar, const std::string& user);
// The same at `server`, with `extra` keys in the payload (transport, encryption).
double registerHelperAt(Running& helper, const std::string& server, const std::string& user,
                        const nlohmann::json& extra = nlohmann::json::object());
void stopHelper(Running& helper);

// The peer daemon on a SIP port of its own, answering on stdin/stdout.
// Returns once it answered its first command; `readyMs` is the time from
// the spawn to that answer.
// `extraSip` goes into its configuration's [sip] section (lines ending in LF).
std::unique_ptr<Running> startPeer(const Options& o, const Env& pulse, double* readyMs = nullptr,
                                   const std::string& extraSip = "");
// A command's answer, up to the prompt after its status; event blocks
// printed meanwhile are kept in the peer's `events`.
std::string peerCommand(Running& peer, const std::string& command, Clock::duration timeout = std::chrono::seconds(20));
bool peerOk(const std::string& answer);
// "Id: N" in a daemon answer, after its status line.
std::optional<int> peerId(const std::string& answer);
void stopPeer(Running& peer);
// Restricts a peer to the helper's codecs, so calls negotiate alike.
void matchHelperCodecs(Running& peer);
// Registers the peer; milliseconds until the registrar accepted it.
double registerPeer(Running& peer, const test::Kamailio& registrar, const std::string& user);
// The same with the identity and proxy URIs given (for another transport).
double registerPeerAt(Running& peer, const std::string& identity, const std::string& proxy, const std::string& user,
                      const test::Kamailio& registrar);

// A helper started, initialized and registered as `user`; a peer started,
// limited to the helper's codecs and registered as `user`. `registerMs`,
// when given, receives how long the REGISTER took.
std::unique_ptr<Running> registeredHelper(const Options& o, const Env& pulse, const test::Kamailio& registrar,
                                          const std::string& user, double* registerMs = nullptr);
std::unique_ptr<Running> registeredPeer(const Options& o, const Env& pulse, const test::Kamailio& registrar,
                                        const std::string& user, double* registerMs = nullptr);

}  // namespace tavirel::bench
