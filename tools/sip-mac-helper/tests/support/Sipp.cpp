#include "Sipp.h"

#include <stdexcept>

#include "FreePort.h"

namespace tavirel::test {
namespace {

std::string readIfExists(const std::filesystem::path& file) {
  std::error_code error;
  if (!std::filesystem::exists(file, error)) return {};
  return readFile(file);
}

constexpr const char* kScenarioHead =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n"
    "<!DOCTYPE scenario SYSTEM \"sipp.dtd\">\n";

constexpr const char* kOfferSdp = R"(      Content-Type: application/sdp
      Content-Length: [len]

      v=0
      o=tavirel 1 1 IN IP[local_ip_type] [local_ip]
      s=-
      c=IN IP[media_ip_type] [media_ip]
      t=0 0
      m=audio [media_port] RTP/AVP 0 8 101
      a=rtpmap:0 PCMU/8000
      a=rtpmap:8 PCMA/8000
      a=rtpmap:101 telephone-event/8000
      a=fmtp:101 0-15
)";

std::string registerRequest(int cseq, std::uint16_t contactPort, int expires, bool withCredentials) {
  std::string text = R"(  <send retrans="500">
    <![CDATA[
      REGISTER sip:[remote_ip]:[remote_port] SIP/2.0
      Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
      From: <sip:[service]@[remote_ip]>;tag=[pid]reg[call_number]
      To: <sip:[service]@[remote_ip]>
      Call-ID: [call_id]
      CSeq: )" + std::to_string(cseq) + R"( REGISTER
      Contact: <sip:[service]@[local_ip]:)" + std::to_string(contactPort) + R"(>
)";
  if (withCredentials) text += "      [authentication]\n";
  text += "      Max-Forwards: 70\n      Expires: " + std::to_string(expires) + R"(
      Content-Length: 0
    ]]>
  </send>
)";
  return text;
}

std::string callerInvite() {
  return std::string(R"(  <send retrans="500">
    <![CDATA[
      INVITE sip:[service]@[remote_ip]:[remote_port] SIP/2.0
      Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
      From: <sip:caller@[local_ip]:[local_port]>;tag=[pid]call[call_number]
      To: <sip:[service]@[remote_ip]:[remote_port]>
      Call-ID: [call_id]
      CSeq: 1 INVITE
      Contact: <sip:caller@[local_ip]:[local_port]>
      Max-Forwards: 70
)") + kOfferSdp + R"(
    ]]>
  </send>
)";
}

}  // namespace

Sipp::Sipp(SippOptions options) : dir_("tavirel-sipp") {
  localPort_ = options.localPort != 0 ? options.localPort : freeUdpPort();
  auto scenario = dir_.writeFile("scenario.xml", options.scenarioXml);

  ProcessOptions process;
  process.argv = {
      "sipp",
      "-sf", scenario.string(),
      "-i", "127.0.0.1",
      "-p", std::to_string(localPort_),
      // The control port defaults to a fixed 8888; parallel runs would clash.
      "-cp", std::to_string(freeUdpPort()),
      "-s", options.service,
      "-m", "1",
      "-nostdin",
      "-timeout", std::to_string(options.timeout.count()) + "s",
      "-timeout_error",
      "-trace_err", "-error_file", (dir_ / "errors.log").string(),
      "-trace_msg", "-message_file", (dir_ / "messages.log").string(),
  };
  if (options.credentials) {
    process.argv.insert(process.argv.end(), {"-au", options.credentials->name, "-ap",
                                             options.credentials->password});
  }
  if (!options.remote.empty()) process.argv.push_back(options.remote);
  process.workingDirectory = dir_.path();
  // SIPp redraws its statistics screen on stdout, which nobody reads.
  process.stdoutFile = dir_ / "screen.log";
  process_ = std::make_unique<ChildProcess>(std::move(process));
}

std::string Sipp::output() const {
  return "--- sipp stderr ---\n" + process_->stderrText() + "--- sipp errors ---\n" +
         readIfExists(dir_ / "errors.log") + "--- sipp messages ---\n" +
         readIfExists(dir_ / "messages.log") + "--- sipp screen ---\n" +
         readIfExists(dir_ / "screen.log");
}

std::string sippRegisterScenario(std::uint16_t contactPort, int expires, int finalStatus) {
  return std::string(kScenarioHead) + "<scenario name=\"register\">\n" +
         registerRequest(1, contactPort, expires, false) +
         "  <recv response=\"401\" auth=\"true\"/>\n" +
         registerRequest(2, contactPort, expires, true) + "  <recv response=\"" +
         std::to_string(finalStatus) + "\"/>\n</scenario>\n";
}

std::string sippOkToLastRequest() {
  return R"(  <send>
    <![CDATA[
      SIP/2.0 200 OK
      [last_Via:]
      [last_From:]
      [last_To:]
      [last_Call-ID:]
      [last_CSeq:]
      Content-Length: 0
    ]]>
  </send>
)";
}

std::string sippAnswerScenario() {
  return std::string(kScenarioHead) + R"(<scenario name="answer">
  <recv request="INVITE" crlf="true"/>
  <send>
    <![CDATA[
      SIP/2.0 180 Ringing
      [last_Via:]
      [last_From:]
      [last_To:];tag=[pid]answer[call_number]
      [last_Call-ID:]
      [last_CSeq:]
      [last_Record-Route:]
      Contact: <sip:[service]@[local_ip]:[local_port]>
      Content-Length: 0
    ]]>
  </send>
  <send retrans="500">
    <![CDATA[
      SIP/2.0 200 OK
      [last_Via:]
      [last_From:]
      [last_To:];tag=[pid]answer[call_number]
      [last_Call-ID:]
      [last_CSeq:]
      [last_Record-Route:]
      Contact: <sip:[service]@[local_ip]:[local_port]>
)" + kOfferSdp + R"(
    ]]>
  </send>
  <recv request="ACK" crlf="true"/>
  <recv request="BYE"/>
)" + sippOkToLastRequest() + R"(</scenario>
)";
}

std::string sippCallScenario(int talkMilliseconds) {
  auto inDialog = [](const char* method, int cseq, bool retransmit) {
    return std::string(retransmit ? "  <send retrans=\"500\">\n" : "  <send>\n") +
           R"(    <![CDATA[
      )" + method + R"( [next_url] SIP/2.0
      Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
      [routes]
      From: <sip:caller@[local_ip]:[local_port]>;tag=[pid]call[call_number]
      [last_To:]
      Call-ID: [call_id]
      CSeq: )" + std::to_string(cseq) + " " + method + R"(
      Contact: <sip:caller@[local_ip]:[local_port]>
      Max-Forwards: 70
      Content-Length: 0
    ]]>
  </send>
)";
  };
  return std::string(kScenarioHead) + "<scenario name=\"call\">\n" + callerInvite() +
         R"(  <recv response="100" optional="true"/>
  <recv response="180" optional="true"/>
  <recv response="200" rrs="true"/>
)" + inDialog("ACK", 1, false) +
         "  <pause milliseconds=\"" + std::to_string(talkMilliseconds) + "\"/>\n" +
         inDialog("BYE", 2, true) + "  <recv response=\"200\" crlf=\"true\"/>\n</scenario>\n";
}

std::string sippRefusedCallScenario(int finalStatus) {
  // The ACK for a final error response is sent hop by hop to the proxy,
  // with the INVITE's branch (three scenario steps back) and request-URI.
  return std::string(kScenarioHead) + "<scenario name=\"refused call\">\n" + callerInvite() +
         "  <recv response=\"100\" optional=\"true\"/>\n  <recv response=\"" +
         std::to_string(finalStatus) + R"("/>
  <send>
    <![CDATA[
      ACK sip:[service]@[remote_ip]:[remote_port] SIP/2.0
      Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch-3]
      From: <sip:caller@[local_ip]:[local_port]>;tag=[pid]call[call_number]
      [last_To:]
      Call-ID: [call_id]
      CSeq: 1 ACK
      Max-Forwards: 70
      Content-Length: 0
    ]]>
  </send>
</scenario>
)";
}

}  // namespace tavirel::test
