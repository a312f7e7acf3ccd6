// A seeded random sweep of hostile requests against a running helper.
//
// alice and bob are real helpers registered at a real registrar, on a
// private sound server. alice gets every one of the 19 commands with
// payloads a buggy or hostile peer could send (texts at and past the
// engine's address limits, broken SIP addresses, her own address, wrong
// value kinds, odd request ids), while the two place, answer and end real
// calls between them. The sweep fails on the first crash of either helper,
// a request unanswered after 30 seconds, a stdout line that is not a JSON
// response, or a response with the wrong request id (HelperClient checks
// each line), and at the end when a password shows up in a helper's log.
//
//   request_sweep [--seed N] [--seconds S] [--log-dir DIR]
//
// The same seed replays the same requests (the engines' timing still
// varies). The helpers' stderr goes to files in DIR (default: a temporary
// directory, kept and named when the sweep fails). Run it inside a
// loopback-only network namespace, as the test suite is.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Deadline.h"
#include "HelperClient.h"
#include "Kamailio.h"
#include "Parties.h"
#include "PulseAudio.h"

namespace tavirel::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

struct Options {
  unsigned seed = 1;
  std::chrono::seconds duration{60};
  std::filesystem::path logDir;
};

// Texts of every shape the engine has choked on, or might: empty and blank,
// at and just past the address limits, long runs of characters that are
// escaped three times over, broken and looping SIP addresses, control
// characters and NUL, non-ASCII. Always valid UTF-8: the request has to be
// JSON for the payload to reach the engine at all.
class HostileText {
 public:
  HostileText(std::mt19937& random, std::vector<std::string> addresses)
      : random_(random), addresses_(std::move(addresses)) {}

  unsigned below(unsigned bound) { return static_cast<unsigned>(random_() % bound); }

  std::string next() {
    static const std::vector<std::string> units = {"\\", "%", "é", "A", "\"", "<", ">", "@", ":", ";", ",", " ",
                                                   "\n", "\t", "😀", "%00", "[", "]", "?", "&", "=", "#"};
    static const std::vector<std::size_t> lengths = {1, 2, 170, 171, 255, 256, 257, 339, 340, 511, 512, 513, 1000, 1019, 4096, 20000};
    static const std::vector<std::string> fragments = {
        "", " ", " \n\t ", "sip:", "sips:", "tel:", "sip:@", "sip:%", "sip:<>@@", "<sip:>", "\"\" <>", "sip:bob@",
        "sip:bob@[::1]", "sip:bob@[::1", "sip:bob@127.0.0.1:99999", "sip:bob@127.0.0.1:0", "sip:bob@127.0.0.1;transport=tcp",
        "sip:bob@127.0.0.1;transport=tls", "sip:bob@127.0.0.1?Subject=x&Priority=y", "sip:bob:pw@127.0.0.1",
        "sip:*@127.0.0.1", "sip:bob@-", "sip:bob@.", "sips:bob@127.0.0.1:1", std::string("a\0b", 3), "%zz%", "%%",
        "\"Bob \\\"x\\\"\" <sip:bob@127.0.0.1>", "bob", "1", "+33612345678", "PulseAudio Unknown: ", "default"};
    switch (below(5)) {
      case 0:
        return fragments[below(fragments.size())];
      case 1:
        return repeat(units[below(units.size())], lengths[below(lengths.size())]);
      case 2:
        return addresses_[below(addresses_.size())];
      case 3: {  // a real address with something appended or put in front
        const std::string& address = addresses_[below(addresses_.size())];
        const std::string& extra = below(2) ? fragments[below(fragments.size())]
                                            : repeat(units[below(units.size())], lengths[below(lengths.size())]);
        return below(2) ? address + extra : extra + address;
      }
      default: {  // printable ASCII noise
        std::string text(below(64), ' ');
        for (char& c : text) c = static_cast<char>(' ' + below(95));
        return text;
      }
    }
  }

 private:
  static std::string repeat(const std::string& unit, std::size_t count) {
    std::string text;
    text.reserve(unit.size() * count);
    for (std::size_t i = 0; i < count; ++i) text += unit;
    return text;
  }

  std::mt19937& random_;
  std::vector<std::string> addresses_;
};

const std::vector<std::string> kCommands = {
    "INITIALIZE", "REGISTER", "MAKE_CALL", "INVITE_CONFERENCE", "REMOVE_CONFERENCE_PARTICIPANT", "ANSWER_CALL",
    "HANGUP_CALL", "UNREGISTER", "SET_MIC_MUTED", "SEND_DTMF", "IS_IN_CALL", "GET_CURRENT_REMOTE_ADDRESS",
    "GET_REGISTRATION_STATE", "GET_CALL_STATE", "GET_AUDIO_DEVICES", "SET_AUDIO_DEVICE", "GET_AUDIO_INPUT_DEVICES",
    "SET_AUDIO_INPUT_DEVICE", "GET_CALL_SECURITY"};

// The keys a command reads, so that most payloads aim at what is parsed.
const std::map<std::string, std::vector<std::string>> kKeys = {
    {"REGISTER", {"sipAccount", "sipPassword", "server"}},
    {"MAKE_CALL", {"target"}},
    {"INVITE_CONFERENCE", {"targetsCsv"}},
    {"REMOVE_CONFERENCE_PARTICIPANT", {"target"}},
    {"SET_MIC_MUTED", {"muted"}},
    {"SEND_DTMF", {"digit"}},
    {"SET_AUDIO_DEVICE", {"deviceId"}},
    {"SET_AUDIO_INPUT_DEVICE", {"deviceId"}},
};

class Sweep {
 public:
  explicit Sweep(const Options& options)
      : options_(options), random_(options.seed), hang_(std::chrono::duration_cast<Clock::duration>(30s / timeScale())) {}

  int run() {
    Kamailio registrar;
    PulseAudio pulse;
    registrar_ = &registrar;
    auto party = [&](const std::string& user) {
      return startRegisteredHelper(registrar, &pulse, user,
                                   HelperOptions{.stderrFile = options_.logDir / (user + ".stderr"), .transcriptLines = 400});
    };
    alice_ = party("alice");
    bob_ = party("bob");
    // bob is reached only through the call steps: two calls at once between
    // the same two helpers (crossing calls, a second call to a party already
    // in a call) still crash the far helper inside 5.1, outside what this
    // sweep guards; see callStep.
    const std::vector<std::string> addresses = {registrar.uri("alice"), registrar.directUri("alice"), registrar.uri("dave"),
                                                "sip:nobody@127.0.0.1:9", "sip:bob@127.0.0.1"};
    HostileText text(random_, addresses);

    const auto started = Clock::now();
    const auto until = started + options_.duration;
    std::uint64_t step = 0;
    try {
      for (; Clock::now() < until; ++step) {
        if (text.below(100) < 12)
          callStep(text);
        else
          hostileRequest(text);
      }
      // Both helpers are still there and hang up cleanly.
      for (int round = 0; round < 20 && (inCall(*alice_) || inCall(*bob_)); ++round)
        for (HelperClient* helper : {alice_.get(), bob_.get()}) (void)send(*helper, "hang up", "HANGUP_CALL", nullptr);
      for (HelperClient* helper : {alice_.get(), bob_.get()}) {
        const auto exit = helper->closeAndWait(10s);
        if (!exit || !exit->success())
          throw std::runtime_error("helper did not exit cleanly: " + (exit ? exit->describe() : std::string("still running")));
      }
      checkNoPasswordLogged();
    } catch (const std::exception& error) {
      std::cerr << "request_sweep: FAILED at step " << step << " (seed " << options_.seed << "): " << error.what()
                << "\nlast steps:\n";
      for (const std::string& line : recent_) std::cerr << "  " << line << "\n";
      std::cerr << "helper logs kept in " << options_.logDir << "\n";
      return 1;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::cout << "request_sweep: seed " << options_.seed << ", " << requests_ << " requests (" << step << " steps) in "
              << seconds << " s, " << static_cast<long>(requests_ / seconds) << " requests/s; per command:";
    for (const auto& [command, count] : perCommand_) std::cout << " " << command << "=" << count;
    std::cout << "\n";
    return 0;
  }

 private:
  static bool inCall(HelperClient& helper) { return helper.query("IS_IN_CALL").at("inCall").get<bool>(); }

  json send(HelperClient& helper, const std::string& who, const std::string& command, const json& payload,
            const std::string& requestId = {}) {
    std::string note = who + " " + command;
    if (!payload.is_null()) {
      const std::string text = payload.dump();
      note += " " + (text.size() > 160 ? text.substr(0, 160) + "...(" + std::to_string(text.size()) + " bytes)" : text);
    }
    recent_.push_back(note);
    if (recent_.size() > 30) recent_.pop_front();
    ++requests_;
    ++perCommand_[command];
    if (requestId.empty()) return helper.request(command, payload, {}, hang_);
    json line = {{"requestId", requestId}, {"command", command}};
    if (!payload.is_null()) line["payload"] = payload;
    return helper.requestRaw(line.dump(), requestId, hang_);
  }

  // Real calls between the two: placed only while neither is in a call (see
  // run), answered and ended in whatever state they are.
  void callStep(HostileText& text) {
    const unsigned step = text.below(6);
    if (step < 2 && (inCall(*alice_) || inCall(*bob_))) return;
    switch (step) {
      case 0: (void)send(*alice_, "alice", "MAKE_CALL", {{"target", registrar_->uri("bob")}}); break;
      case 1: (void)send(*bob_, "bob", "MAKE_CALL", {{"target", registrar_->uri("alice")}}); break;
      case 2: (void)send(*alice_, "alice", "ANSWER_CALL", nullptr); break;
      case 3: (void)send(*bob_, "bob", "ANSWER_CALL", nullptr); break;
      case 4: (void)send(*alice_, "alice", "HANGUP_CALL", nullptr); break;
      default: (void)send(*bob_, "bob", "HANGUP_CALL", nullptr); break;
    }
  }

  json value(HostileText& text, const std::string& key) {
    if (text.below(10) == 0) return text.below(2) == 0;  // the other kind
    if (key == "muted") return text.below(3) ? json(text.below(2) == 0) : json(text.next());
    if (key == "targetsCsv") {
      std::string csv = text.next();
      for (unsigned extra = text.below(4); extra > 0; --extra) csv += (text.below(4) ? "," : ",,") + text.next();
      return csv;
    }
    if (key == "sipPassword") {
      // Unique, so that finding it in a log means it leaked from here.
      char secret[24];
      std::snprintf(secret, sizeof secret, "pw-%08x%08x", static_cast<unsigned>(random_()), static_cast<unsigned>(random_()));
      return std::string(secret);
    }
    if (key == "server") {
      // Mostly the real registrar, so a registration gets its answer at once
      // instead of waiting out its 15 seconds.
      if (text.below(4)) return registrar_->server();
      return text.next();
    }
    if (key == "deviceId" && text.below(3) == 0) {
      const json list = json::parse(alice_->query("GET_AUDIO_DEVICES").at("devicesJson").get<std::string>());
      if (!list.empty()) return list[text.below(list.size())].at("id");
    }
    return text.next();
  }

  void hostileRequest(HostileText& text) {
    const std::string& command = kCommands[text.below(kCommands.size())];
    json payload = nullptr;
    const auto keys = kKeys.find(command);
    if (text.below(8) != 0) {
      payload = json::object();
      if (keys != kKeys.end())
        for (const std::string& key : keys->second)
          if (text.below(12) != 0) payload[key] = value(text, key);
      if (text.below(6) == 0) payload[text.next()] = text.next();  // a key nobody reads
    }
    std::string requestId;
    if (text.below(10) == 0) requestId = text.below(3) ? text.next() : std::string(100000, 'r');
    if (requestId.empty() && text.below(20) == 0) requestId = "\"";
    (void)send(*alice_, "alice", command, payload, requestId);
    // A REGISTER or UNREGISTER that replaced alice's account would stop the
    // real calls; she registers again as herself.
    if (command == "REGISTER" || command == "UNREGISTER") {
      const auto asked = Clock::now();
      const json registered = send(*alice_, "alice", "REGISTER",
                                   {{"sipAccount", "alice"}, {"sipPassword", Kamailio::user("alice").password},
                                    {"server", registrar_->server()}});
      if (!registered.value("success", false)) {
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked);
        throw std::runtime_error("alice could not register again (answered after " + std::to_string(took.count()) +
                                 " ms): " + registered.dump());
      }
    }
  }

  void checkNoPasswordLogged() const {
    for (const char* user : {"alice", "bob"}) {
      std::ifstream file(options_.logDir / (std::string(user) + ".stderr"));
      const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      for (const char* secretOf : {"alice", "bob"})
        if (log.find(Kamailio::user(secretOf).password) != std::string::npos)
          throw std::runtime_error(std::string("a password appears in ") + user + "'s log");
    }
  }

  Options options_;
  std::mt19937 random_;
  Clock::duration hang_;
  const Kamailio* registrar_ = nullptr;
  std::unique_ptr<HelperClient> alice_;
  std::unique_ptr<HelperClient> bob_;
  std::deque<std::string> recent_;
  std::uint64_t requests_ = 0;
  std::map<std::string, std::uint64_t> perCommand_;
};

int usage() {
  std::cerr << "usage: request_sweep [--seed N] [--seconds S] [--log-dir DIR]\n";
  return 2;
}

}  // namespace
}  // namespace tavirel::test

int main(int argc, char** argv) {
  using namespace tavirel::test;
  Options options;
  bool ownLogDir = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    const std::string value = argv[++i];
    try {
      if (arg == "--seed") options.seed = static_cast<unsigned>(std::stoul(value));
      else if (arg == "--seconds") options.duration = std::chrono::seconds(std::stol(value));
      else if (arg == "--log-dir") options.logDir = value, ownLogDir = false;
      else return usage();
    } catch (const std::exception&) {
      return usage();
    }
  }
  if (ownLogDir) {
    char pattern[] = "/tmp/request-sweep-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 2;
    options.logDir = pattern;
  }
  std::filesystem::create_directories(options.logDir);
  const int status = Sweep(options).run();
  if (status == 0 && ownLogDir) std::filesystem::remove_all(options.logDir);
  return status;
}
