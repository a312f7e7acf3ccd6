// A real third-party SIP user agent (baresip 1.0) as the far party of a
// call: registered at the suite's kamailio as one of its test users, over
// UDP or TLS, with SRTP (SDES) or DTLS-SRTP mandatory, its microphone a
// steady 440 Hz sine and its speaker ALSA's null device. It is driven over
// its TCP control socket (netstring-framed JSON): commands, and the events
// it reports (incoming call, call established, DTMF received, ...).
//
// It runs in a temp dir of its own (configuration, accounts) and is stopped
// by its PID.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Deadline.h"
#include "Kamailio.h"
#include "TempDir.h"

namespace tavirel::test {

struct BaresipOptions {
  std::string user;                  // one of Kamailio::users()
  bool tls = false;                  // register over TLS at the registrar's TLS port
  std::string mediaEncryption;       // baresip's name: "srtp-mand", "dtls_srtp"; empty: clear
  std::filesystem::path rootCa;      // what it trusts for TLS
};

class Baresip {
 public:
  // Starts baresip and waits (bounded) until the registrar has its contact. Throws
  // std::runtime_error, with its output, when it does not.
  Baresip(const Kamailio& registrar, BaresipOptions options);
  ~Baresip();
  Baresip(const Baresip&) = delete;
  Baresip& operator=(const Baresip&) = delete;

  pid_t pid() const { return process_->pid(); }
  // "sip:<user>@127.0.0.1", with ";transport=tls" over TLS.
  const std::string& aor() const { return aor_; }

  // Sends one command line ("dial sip:...", "accept", "hangup") and waits
  // for its response. False when it fails or does not come.
  bool command(const std::string& line, Deadline deadline);
  // Waits for an event of `type` ("CALL_INCOMING", "CALL_ESTABLISHED",
  // "CALL_CLOSED", "CALL_DTMF_START", ...) reported since the start;
  // returns it, or null at the deadline.
  nlohmann::json waitForEvent(const std::string& type, Deadline deadline);
  // Every event so far.
  std::vector<nlohmann::json> events() const;
  // Forgets the events so far, so that the next wait sees only new ones.
  void forgetEvents();

  std::string output() const { return process_->stderrText(); }

 private:
  void readControl();

  TempDir dir_;
  std::string aor_;
  std::unique_ptr<ChildProcess> process_;
  int control_ = -1;
  std::atomic<bool> stopping_{false};
  mutable std::mutex lock_;
  std::vector<nlohmann::json> events_;
  std::vector<nlohmann::json> responses_;
  std::thread reader_;
  int token_ = 0;
};

}  // namespace tavirel::test
