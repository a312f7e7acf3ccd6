// Which datagrams reach the engine: the decisions a scanner, a forger and a
// real registrar each put to the test, without a socket.
#include "engine/sip_screen.h"

#include <gtest/gtest.h>

#include <string>

namespace tavirel::engine {
namespace {

std::string invite(const std::string& to, const std::string& extra = "") {
  return "INVITE sip:alice@192.0.2.1:5062 SIP/2.0\r\n"
         "Via: SIP/2.0/UDP 198.51.100.9:5060;branch=z9hG4bK1;rport\r\n"
         "v: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK0\r\n"
         "From: <sip:46573788@198.51.100.9>;tag=abc\r\n" +
         to + "\r\n" + extra +
         "Call-ID: 77@198.51.100.9\r\n"
         "CSeq: 1 INVITE\r\n"
         "Content-Length: 0\r\n\r\n";
}

const IntakePolicy kScreening{.screenInvites = true, .trustedSources = {"192.0.2.10", "2001:db8::10"}};

TEST(SipScreen, OnlyNewInvitesFromOutsideTheRegistrarAreRefused) {
  const std::string fresh = invite("To: <sip:alice@192.0.2.1>");
  EXPECT_EQ(screenDatagram(kScreening, fresh, "198.51.100.9"), Intake::refuse);
  EXPECT_EQ(screenDatagram(kScreening, fresh, "192.0.2.10"), Intake::pass);
  EXPECT_EQ(screenDatagram(kScreening, fresh, "2001:db8::10"), Intake::pass);
  // Without an account, or with direct calls allowed, nothing is refused.
  EXPECT_EQ(screenDatagram(IntakePolicy{}, fresh, "198.51.100.9"), Intake::pass);
  // In a dialog (a To tag, in either spelling): the engine decides.
  EXPECT_EQ(screenDatagram(kScreening, invite("To: <sip:alice@192.0.2.1>;tag=x1"), "198.51.100.9"), Intake::pass);
  EXPECT_EQ(screenDatagram(kScreening, invite("t: sip:alice@192.0.2.1 ; TAG = x1"), "198.51.100.9"), Intake::pass);
  // A tag inside the address is a URI parameter, not the dialog's.
  EXPECT_EQ(screenDatagram(kScreening, invite("To: <sip:alice@192.0.2.1;tag=x>"), "198.51.100.9"), Intake::refuse);
  // Other requests and responses pass; so do keep-alives.
  const std::string options = "OPTIONS sip:alice@192.0.2.1 SIP/2.0\r\nVia: x\r\n\r\n";
  EXPECT_EQ(screenDatagram(kScreening, options, "198.51.100.9"), Intake::pass);
  EXPECT_EQ(screenDatagram(kScreening, "SIP/2.0 200 OK\r\nVia: x\r\n\r\n", "198.51.100.9"), Intake::pass);
  EXPECT_EQ(screenDatagram(kScreening, "\r\n\r\n", "198.51.100.9"), Intake::pass);
}

TEST(SipScreen, HeadersNamingTheRegistrarDoNotMakeAStrangerTrusted) {
  // Only where the datagram came from counts.
  const std::string forged = "INVITE sip:alice@192.0.2.1 SIP/2.0\r\n"
                             "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK1;received=192.0.2.10\r\n"
                             "From: <sip:bob@192.0.2.10>;tag=1\r\nTo: <sip:alice@192.0.2.10>\r\n"
                             "Record-Route: <sip:192.0.2.10;lr>\r\nCall-ID: 1\r\nCSeq: 1 INVITE\r\n\r\n";
  EXPECT_EQ(screenDatagram(kScreening, forged, "198.51.100.9"), Intake::refuse);
}

TEST(SipScreen, WhatIsNoSipOrFarTooLargeIsDroppedWhateverThePolicy) {
  for (const IntakePolicy& policy : {kScreening, IntakePolicy{}}) {
    EXPECT_EQ(screenDatagram(policy, "\x16\x03\x01 hello", "192.0.2.10"), Intake::drop);
    EXPECT_EQ(screenDatagram(policy, "invite sip:a SIP/2.0\r\n\r\n", "192.0.2.10"), Intake::drop);
    EXPECT_EQ(screenDatagram(policy, "SIP/2.0 OK\r\n\r\n", "192.0.2.10"), Intake::drop);
    EXPECT_EQ(screenDatagram(policy, "", "192.0.2.10"), Intake::pass);
    const std::string longHeader = "REGISTER sip:x SIP/2.0\r\nX-Pad: " + std::string(kLongestHeaderLine, 'a') + "\r\n\r\n";
    EXPECT_EQ(screenDatagram(policy, longHeader, "192.0.2.10"), Intake::drop);
    std::string large = "NOTIFY sip:x SIP/2.0\r\n";
    while (large.size() <= kLargestDatagram) large += "X-Line: " + std::string(100, 'b') + "\r\n";
    EXPECT_EQ(screenDatagram(policy, large, "192.0.2.10"), Intake::drop);
    large.resize(kLargestDatagram - 100);
    EXPECT_EQ(screenDatagram(policy, large, "192.0.2.10"), Intake::pass);
  }
}

TEST(SipScreen, TheRefusalAnswersTheRequestItRefuses) {
  const auto answer = forbiddenResponse(invite("t: <sip:alice@192.0.2.1>"));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer,
            "SIP/2.0 403 Forbidden\r\n"
            "Via: SIP/2.0/UDP 198.51.100.9:5060;branch=z9hG4bK1;rport\r\n"
            "v: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK0\r\n"
            "From: <sip:46573788@198.51.100.9>;tag=abc\r\n"
            "To: <sip:alice@192.0.2.1>;tag=screened\r\n"
            "Call-ID: 77@198.51.100.9\r\n"
            "CSeq: 1 INVITE\r\n"
            "Content-Length: 0\r\n\r\n");
  // Missing what a response must copy: nothing is answered.
  EXPECT_FALSE(forbiddenResponse("INVITE sip:a@b SIP/2.0\r\nTo: <sip:a@b>\r\nCSeq: 1 INVITE\r\n\r\n"));
  EXPECT_FALSE(forbiddenResponse(""));
}

// Over a connection only the Via can tell, as the engine leaves it: the
// host and any received= must both be the registrar's.
TEST(SipScreen, AConnectionsViaProvesTheRegistrarOnlyWhenHostAndReceivedAreItsOwn) {
  EXPECT_TRUE(viaShowsTrustedHop(kScreening, "SIP/2.0/TCP 192.0.2.10:5060;branch=z9hG4bK1"));
  EXPECT_TRUE(viaShowsTrustedHop(kScreening, "SIP/2.0/TLS 192.0.2.10;branch=1;received=192.0.2.10"));
  EXPECT_TRUE(viaShowsTrustedHop(kScreening, "SIP/2.0/TCP [2001:db8::10]:5061;branch=1"));
  // A stranger naming the registrar: the engine added where it really came from.
  EXPECT_FALSE(viaShowsTrustedHop(kScreening, "SIP/2.0/TCP 192.0.2.10:5060;branch=1;received=198.51.100.9"));
  // A stranger naming itself, with a forged received= the engine left alone.
  EXPECT_FALSE(viaShowsTrustedHop(kScreening, "SIP/2.0/TCP 198.51.100.9;received=192.0.2.10;branch=1"));
  EXPECT_FALSE(viaShowsTrustedHop(kScreening, "garbage 192.0.2.10"));
  EXPECT_FALSE(viaShowsTrustedHop(kScreening, ""));
  EXPECT_EQ(viaTransport(" SIP/2.0/tls 192.0.2.10"), "TLS");
  EXPECT_EQ(viaTransport("SIP/2.0/UDP 192.0.2.10"), "UDP");
  EXPECT_EQ(viaTransport("HTTP/1.1"), "");
}

}  // namespace
}  // namespace tavirel::engine
