// Request decoding, response encoding and the payload helpers.
#include "bridge/protocol.h"

#include "bridge/json_text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace tavirel::bridge {
namespace {

HelperBridgeRequest decodeOk(std::string_view line) {
  auto decoded = decodeRequest(line);
  if (auto* failure = std::get_if<DecodeFailure>(&decoded)) {
    ADD_FAILURE() << "did not decode: " << line << ": " << failure->description;
    return {};
  }
  return std::get<HelperBridgeRequest>(decoded);
}

bool rejects(std::string_view line) { return std::holds_alternative<DecodeFailure>(decodeRequest(line)); }

TEST(DecodeRequest, ReadsIdCommandAndPayloadOfStringsAndBooleans) {
  const auto request = decodeOk(
      R"({"requestId":"r1","command":"SET_MIC_MUTED","payload":{"muted":true,"note":"true","x":false},"extra":[1,2]})"
      "\r");
  EXPECT_EQ(request.requestId, "r1");
  EXPECT_EQ(request.command, HelperBridgeCommand::setMicMuted);
  ASSERT_TRUE(request.payload);
  EXPECT_EQ(request.payload->at("muted"), StringOrBool(true));
  // No coercion: the text "true" stays a string.
  EXPECT_TRUE(request.payload->at("note").isString());
  EXPECT_EQ(*request.payload->at("note").string(), "true");
  EXPECT_EQ(request.payload->at("x"), StringOrBool(false));
}

TEST(DecodeRequest, AbsentAndNullPayloadBothMeanNone) {
  EXPECT_FALSE(decodeOk(R"({"requestId":"","command":"IS_IN_CALL"})").payload);
  EXPECT_FALSE(decodeOk(R"({"requestId":"","command":"IS_IN_CALL","payload":null})").payload);
  EXPECT_TRUE(decodeOk(R"({"requestId":"","command":"IS_IN_CALL","payload":{}})").payload);
}

TEST(DecodeRequest, EveryWireNameRoundTripsAndNothingElseIsACommand) {
  for (std::size_t i = 0; i < kCommandCount; ++i) {
    const auto command = static_cast<HelperBridgeCommand>(i);
    EXPECT_EQ(commandFromWireName(wireName(command)), command);
  }
  EXPECT_EQ(wireName(HelperBridgeCommand::registerAccount), "REGISTER");
  EXPECT_EQ(wireName(HelperBridgeCommand::setAudioInputDevice), "SET_AUDIO_INPUT_DEVICE");
  EXPECT_FALSE(commandFromWireName("is_in_call"));
  EXPECT_FALSE(commandFromWireName("IS_IN_CALL "));
  EXPECT_FALSE(commandFromWireName(""));
}

TEST(DecodeRequest, RejectsWhatIsNotARequest) {
  EXPECT_TRUE(rejects(""));
  EXPECT_TRUE(rejects("   "));
  EXPECT_TRUE(rejects("not json"));
  EXPECT_TRUE(rejects("[]"));
  EXPECT_TRUE(rejects("\"IS_IN_CALL\""));
  EXPECT_TRUE(rejects(R"({"command":"IS_IN_CALL"})"));
  EXPECT_TRUE(rejects(R"({"requestId":"a"})"));
  EXPECT_TRUE(rejects(R"({"requestId":7,"command":"IS_IN_CALL"})"));
  EXPECT_TRUE(rejects(R"({"requestId":"a","command":"is_in_call"})"));
  EXPECT_TRUE(rejects(R"({"requestId":"a","command":null})"));
  EXPECT_TRUE(rejects(R"({"requestId":"a","command":"IS_IN_CALL","payload":"x"})"));
  for (const char* value : {"1", "null", "[]", "{}", "1.5"}) {
    EXPECT_TRUE(rejects(std::string(R"({"requestId":"a","command":"MAKE_CALL","payload":{"target":)") + value + "}}"))
        << value;
  }
  // Two objects on one line, or trailing garbage, are not one request.
  EXPECT_TRUE(rejects(R"({"requestId":"a","command":"IS_IN_CALL"}{})"));
  // Invalid UTF-8 inside a string.
  EXPECT_TRUE(rejects("{\"requestId\":\"\xff\",\"command\":\"IS_IN_CALL\"}"));
}

TEST(EncodeResponse, WritesKeysInOrderAndLeavesOutAbsentOnes) {
  EXPECT_EQ(*encodeResponse(makeResponse("a", true)), R"({"requestId":"a","success":true})");
  EXPECT_EQ(*encodeResponse(makeResponse("b", false, "Not initialized")),
            R"({"requestId":"b","success":false,"error":"Not initialized"})");
  EXPECT_EQ(*encodeResponse(makeResponse("c", false, std::nullopt, Payload{{"registered", false}})),
            R"({"requestId":"c","success":false,"payload":{"registered":false}})");
  EXPECT_EQ(*encodeResponse(makeResponse("d", false, "e", Payload{{"k", "v"}})),
            R"({"requestId":"d","success":false,"error":"e","payload":{"k":"v"}})");
}

TEST(EncodeResponse, EscapesSoOneResponseIsOneLineThatParsesBack) {
  const std::string id = "line\nbreak \"quoted\" back\\slash \x01 tab\t \xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5";
  const auto encoded = encodeResponse(makeResponse(id, true, std::nullopt, Payload{{"devicesJson", "[{\"a\":1}]"}}));
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->find('\n'), std::string::npos);
  const auto parsed = nlohmann::json::parse(*encoded);
  EXPECT_EQ(parsed["requestId"], id);
  EXPECT_EQ(parsed["payload"]["devicesJson"], "[{\"a\":1}]");
}

TEST(EncodeResponse, FailsOnTextThatIsNotUtf8) {
  EXPECT_FALSE(encodeResponse(makeResponse("\xff", true)));
  EXPECT_FALSE(encodeResponse(makeResponse("ok", false, "\xc3")));            // truncated
  EXPECT_FALSE(encodeResponse(makeResponse("ok", false, "\xed\xa0\x80")));    // surrogate
  EXPECT_FALSE(encodeResponse(makeResponse("ok", false, "\xc0\xaf")));        // overlong
  EXPECT_FALSE(encodeResponse(makeResponse("ok", true, std::nullopt, Payload{{"k", "\xfe"}})));
  EXPECT_EQ(kEncodingFallbackResponse.size(), 57u);
}

TEST(EncodeDeviceList, WritesCompactObjectsAndFallsBackToEmpty) {
  EXPECT_EQ(encodeDeviceList({}), "[]");
  EXPECT_EQ(encodeDeviceList({{"id 1", "Speaker \"A\"", "Speaker", true}, {"m", "Mic", "Microphone", false}}),
            R"([{"id":"id 1","name":"Speaker \"A\"","type":"Speaker","current":true},)"
            R"({"id":"m","name":"Mic","type":"Microphone","current":false}])");
  EXPECT_EQ(encodeDeviceList({{"ok", "bad \xff", "Speaker", false}}), "[]");
}

TEST(SplitTargetsCsv, TrimsDropsEmptyPiecesAndKeepsOrderAndDuplicates) {
  using V = std::vector<std::string>;
  EXPECT_EQ(splitTargetsCsv(" a , ,b,, "), (V{"a", "b"}));
  EXPECT_EQ(splitTargetsCsv(" ,  , ,"), V{});
  EXPECT_EQ(splitTargetsCsv(""), V{});
  EXPECT_EQ(splitTargetsCsv("sip:a@x,sip:a@x"), (V{"sip:a@x", "sip:a@x"}));
  EXPECT_EQ(splitTargetsCsv("\tsip:b@x\r\n,\n"), (V{"sip:b@x"}));
  // Unicode white space counts too: no-break space, ideographic space, line separator.
  EXPECT_EQ(splitTargetsCsv("\xc2\xa0" "c\xe3\x80\x80,\xe2\x80\xa8"), (V{"c"}));
  // Inner white space stays.
  EXPECT_EQ(splitTargetsCsv(" d e "), (V{"d e"}));
}

TEST(TrimWhitespaceAndNewlines, LeavesOtherBytesAlone) {
  EXPECT_EQ(trimWhitespaceAndNewlines(" \n\t"), "");
  EXPECT_EQ(trimWhitespaceAndNewlines("\xe2\x80\x8b" "x"), "\xe2\x80\x8b" "x");  // zero-width space is not white space
  EXPECT_EQ(trimWhitespaceAndNewlines("\xff x \xff"), "\xff x \xff");
  EXPECT_EQ(trimWhitespaceAndNewlines(" \xc3\xa9 "), "\xc3\xa9");
}

TEST(DecodeUtf8, GivesCodePointsOfWellFormedTextOnly) {
  using Scalar = std::pair<char32_t, std::size_t>;
  EXPECT_EQ(decodeUtf8("a", 0), (Scalar{U'a', 1}));
  EXPECT_EQ(decodeUtf8("x\xc3\xa9", 1), (Scalar{0xE9, 2}));
  EXPECT_EQ(decodeUtf8("\xe3\x80\x80", 0), (Scalar{0x3000, 3}));
  EXPECT_EQ(decodeUtf8("\xf4\x8f\xbf\xbf", 0), (Scalar{0x10FFFF, 4}));
  for (std::string_view bad : {"\xc0\xa0", "\xe0\x80\xa0", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe3\x80", "\x80", ""})
    EXPECT_FALSE(decodeUtf8(bad, 0)) << testing::PrintToString(std::string(bad));
  // An overlong space is not white space to trim.
  EXPECT_EQ(trimWhitespaceAndNewlines("\xc0\xa0x"), "\xc0\xa0x");
}

}  // namespace
}  // namespace tavirel::bridge

namespace tavirel::bridge {
namespace {

// The parser's message quotes the bytes it stopped at; for invalid UTF-8 those
// bytes used to make the "Invalid request" answer itself unencodable.
TEST(DecodeRequest, FailureDescriptionOfInvalidUtf8IsItselfEncodable) {
  for (const char* line : {"{\"requestId\":\"\xc3\x28\",\"command\":\"IS_IN_CALL\"}", "\xff\xfe", "{\"a\xe2\x82"}) {
    auto decoded = decodeRequest(line);
    ASSERT_TRUE(std::holds_alternative<DecodeFailure>(decoded)) << line;
    const auto& description = std::get<DecodeFailure>(decoded).description;
    EXPECT_TRUE(encodeResponse(makeResponse("", false, std::string(kInvalidRequestPrefix) + description))) << description;
  }
}

// A line cut off inside a string (or a number too large) must not have its
// bytes repeated on stdout: that string is as likely as not a password.
TEST(DecodeRequest, FailureDescriptionNeverRepeatsTheLinesContent) {
  const std::string cutInPassword = R"({"requestId":"1","command":"REGISTER","payload":{"sipPassword":"hunter22)";
  const std::pair<std::string, std::string> cases[] = {
      {cutInPassword + "\n", "hunter22"},
      {cutInPassword, "hunter22"},
      {R"({"requestId":hunter22})", "hunter22"},
      {R"({"requestId":"1","command":"X","n":1e99999})", "99999"},
  };
  for (const auto& [line, secret] : cases) {
    auto decoded = decodeRequest(line);
    ASSERT_TRUE(std::holds_alternative<DecodeFailure>(decoded)) << line;
    const auto& description = std::get<DecodeFailure>(decoded).description;
    EXPECT_EQ(description.find(secret), std::string::npos) << description;
    EXPECT_FALSE(description.empty());
  }
}

}  // namespace
}  // namespace tavirel::bridge
