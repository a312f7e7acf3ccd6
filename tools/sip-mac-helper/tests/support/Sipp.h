// SIPp runs as scripted SIP peers: a user that registers, a callee that
// answers, a caller that calls through the proxy and hangs up.
//
// Each run gets its own temp dir with the scenario file, SIPp's screen
// output and its message and error logs; output() gathers them for failure
// messages. SIPp exits 0 when every call of its scenario succeeded.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Kamailio.h"
#include "TempDir.h"

namespace tavirel::test {

struct SippOptions {
  std::string scenarioXml;
  // Where requests go, "host:port" (the proxy); empty for a scenario that
  // starts by waiting for a request.
  std::string remote;
  // User part of the request-URI ([service] in scenarios).
  std::string service = "service";
  // Digest credentials for challenges.
  std::optional<SipUser> credentials;
  // Local SIP port on 127.0.0.1; 0 picks a free one.
  std::uint16_t localPort = 0;
  // Give up, and fail, after this long.
  std::chrono::seconds timeout{10};
};

class Sipp {
 public:
  // Starts sipp. Throws std::runtime_error when it cannot be started.
  explicit Sipp(SippOptions options);

  std::uint16_t localPort() const { return localPort_; }
  // Waits for sipp to finish. std::nullopt at the deadline.
  std::optional<ExitStatus> waitExit(Deadline deadline) { return process_->waitExit(deadline); }
  // Screen output, stderr, errors and the SIP messages sipp saw.
  std::string output() const;
  ChildProcess& process() { return *process_; }

 private:
  TempDir dir_;
  std::uint16_t localPort_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

// REGISTER for [service] with `contactPort` as the contact's port and
// `expires` seconds (0 removes the binding). Answers the 401 challenge with
// the credentials and expects `finalStatus` (200, or 403 for refused
// credentials) for the authenticated REGISTER.
std::string sippRegisterScenario(std::uint16_t contactPort, int expires, int finalStatus);

// A <send> of a bodiless 200 OK to the request just received, such as a BYE.
std::string sippOkToLastRequest();

// Callee: waits for an INVITE, rings, answers with SDP, takes the ACK, and
// accepts the caller's BYE. Responses carry the Record-Route of the INVITE,
// as a real user agent's do.
std::string sippAnswerScenario();

// Caller: INVITE to [service] at the proxy, then ACK and, after
// `talkMilliseconds`, BYE along the recorded route to the callee's contact.
std::string sippCallScenario(int talkMilliseconds);

// Caller whose INVITE must be refused with `finalStatus` (404 for a user
// with no registration, for instance).
std::string sippRefusedCallScenario(int finalStatus);

}  // namespace tavirel::test
