// The records that cross the helper's stdin/stdout pipe and their JSON form.
//
// One request object per input line, one response object per output line.
// Decoding never throws: a line either becomes a HelperBridgeRequest or a
// description of why it could not, which the loop turns into an
// "Invalid request: " answer.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tavirel::bridge {

// Wire names are the enumerators' names in upper case with underscores (see
// bridge/commands.h, whose table follows the declaration order).
enum class HelperBridgeCommand : std::uint8_t {
  initialize,
  registerAccount,  // "REGISTER"; `register` is a C++ keyword
  makeCall,
  inviteConference,
  removeConferenceParticipant,
  answerCall,
  hangupCall,
  unregister,
  setMicMuted,
  sendDtmf,
  isInCall,
  getCurrentRemoteAddress,
  getRegistrationState,
  getCallState,
  getAudioDevices,
  setAudioDevice,
  getAudioInputDevices,
  setAudioInputDevice,
  getCallSecurity,
};
inline constexpr std::size_t kCommandCount = 19;

// From the command table (bridge/commands.cpp).
std::string_view wireName(HelperBridgeCommand command);
std::optional<HelperBridgeCommand> commandFromWireName(std::string_view name);

// The value type of every payload map: a JSON string or a JSON boolean,
// never coerced into one another.
class StringOrBool {
 public:
  StringOrBool(std::string text) : value_(std::move(text)) {}
  StringOrBool(const char* text) : value_(std::string(text)) {}
  StringOrBool(bool flag) : value_(flag) {}

  bool isString() const { return std::holds_alternative<std::string>(value_); }
  bool isBool() const { return std::holds_alternative<bool>(value_); }
  // Null when this holds the other case.
  const std::string* string() const { return std::get_if<std::string>(&value_); }
  const bool* boolean() const { return std::get_if<bool>(&value_); }

  bool operator==(const StringOrBool&) const = default;

 private:
  std::variant<std::string, bool> value_;
};

using Payload = std::map<std::string, StringOrBool, std::less<>>;

struct HelperBridgeRequest {
  std::string requestId;
  HelperBridgeCommand command = HelperBridgeCommand::initialize;
  std::optional<Payload> payload;
};

struct HelperBridgeResponse {
  std::string requestId;
  bool success = false;
  std::optional<std::string> error;
  std::optional<Payload> payload;
};

struct DecodeFailure {
  std::string description;
};

// Parses one line (without its LF). Any JSON white space around the object,
// a trailing CR included, is accepted.
std::variant<HelperBridgeRequest, DecodeFailure> decodeRequest(std::string_view line);

// Compact JSON with keys in the order requestId, success, error, payload.
// Fails (nullopt) only when a text is not valid UTF-8.
std::optional<std::string> encodeResponse(const HelperBridgeResponse& response);

HelperBridgeResponse makeResponse(std::string requestId, bool success,
                                  std::optional<std::string> error = std::nullopt,
                                  std::optional<Payload> payload = std::nullopt);

inline constexpr std::string_view kInvalidRequestPrefix = "Invalid request: ";
// Written instead of a response that cannot be encoded (the transport adds
// the LF).
inline constexpr std::string_view kEncodingFallbackResponse =
    "{\"requestId\":\"\",\"success\":false,\"error\":\"Encoding error\"}";

// One entry of the "devicesJson" lists.
struct AudioDevicePayload {
  std::string id;
  std::string name;
  std::string type;
  bool current = false;
};

// A compact JSON array of device objects; "[]" when it cannot be encoded.
std::string encodeDeviceList(const std::vector<AudioDevicePayload>& devices);

// Splits "targetsCsv" at commas, trims white space and line breaks from each
// piece and drops the empty ones; order and duplicates are kept.
std::vector<std::string> splitTargetsCsv(std::string_view csv);

// Trims Unicode white space and line breaks from both ends of UTF-8 text.
std::string_view trimWhitespaceAndNewlines(std::string_view text);

}  // namespace tavirel::bridge
