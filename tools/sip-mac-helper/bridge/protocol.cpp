// JSON coding of the bridge records. Requests are parsed with nlohmann::json;
// responses are written by hand, because their shape is fixed and the key
// order ("requestId", "success", "error", "payload") is part of what peers
// see.
#include "bridge/protocol.h"

#include <array>
#include <nlohmann/json.hpp>

#include "bridge/json_text.h"

namespace tavirel::bridge {
namespace {

std::string jsonQuoted(std::string_view key) {
  std::string out;
  appendJsonString(out, key);
  return out;
}

bool isWhitespaceOrNewline(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Length of the UTF-8 sequence that ends at `end` (exclusive), or 0.
std::size_t lastScalarLength(std::string_view text, std::size_t end) {
  std::size_t start = end;
  while (start > 0 && end - start < 4) {
    --start;
    if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) return end - start;
  }
  return 0;
}

// The parser's descriptions quote the bytes it read last. A line cut off
// inside a string would then put that string, a SIP password as likely as
// anything, on stdout; the position the description gives is enough.
std::string withoutEchoedInput(std::string description) {
  for (std::string_view quoting : {std::string_view("; last read: "), std::string_view(" parsing '")}) {
    if (const auto at = description.find(quoting); at != std::string::npos) description.erase(at);
  }
  return description;
}


// What decodeRequest needs of a line, gathered while the parser streams
// through it instead of from a document built first: the document's
// allocations were most of the cost of a cheap request. The rules are those
// of the document: the last of duplicate keys wins, and nothing is judged
// before the whole line has parsed, so a syntax error anywhere reports the
// parser's own description as before.
class RequestEvents {
 public:
  using json = nlohmann::json;

  // The kind of value a key ended up with.
  enum class Kind : std::uint8_t { absent, string, boolean, null, object, other };
  struct Value {
    explicit Value(Kind kind = Kind::absent, std::string text = {}, bool flag = false)
        : kind(kind), text(std::move(text)), flag(flag) {}
    Kind kind;
    std::string text;
    bool flag;
  };

  bool topIsObject = false;
  Value requestId, command;
  Kind payload = Kind::absent;
  std::map<std::string, Value, std::less<>> payloadEntries;  // when payload is an object
  std::optional<std::string> error;

  bool null() { return scalar(Value(Kind::null)); }
  bool boolean(bool flag) { return scalar(Value(Kind::boolean, {}, flag)); }
  bool number_integer(json::number_integer_t) { return scalar(Value(Kind::other)); }
  bool number_unsigned(json::number_unsigned_t) { return scalar(Value(Kind::other)); }
  bool number_float(json::number_float_t, const json::string_t&) { return scalar(Value(Kind::other)); }
  bool string(json::string_t& text) { return scalar(Value(Kind::string, text)); }
  bool binary(json::binary_t&) { return scalar(Value(Kind::other)); }

  bool start_object(std::size_t) { return open(true); }
  bool start_array(std::size_t) { return open(false); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(json::string_t& name) {
    if (depth_ == 1) {
      topKey_ = name == "requestId" ? TopKey::requestId
                : name == "command" ? TopKey::command
                : name == "payload" ? TopKey::payload
                                    : TopKey::other;
    } else if (depth_ == 2 && inPayload_) {
      payloadKey_ = name;
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    error = toValidUtf8(withoutEchoedInput(e.what()));
    return false;
  }

 private:
  enum class TopKey : std::uint8_t { requestId, command, payload, other };

  // A value that is not a container, at whatever depth.
  bool scalar(Value value) {
    if (depth_ == 1) {
      assignTop(std::move(value));
    } else if (depth_ == 2 && inPayload_) {
      payloadEntries.insert_or_assign(payloadKey_, std::move(value));
    }
    return true;
  }

  bool open(bool isObject) {
    if (depth_ == 0) {
      topIsObject = isObject;
    } else if (depth_ == 1) {
      assignTop(Value(isObject ? Kind::object : Kind::other));
      inPayload_ = isObject && topKey_ == TopKey::payload;
    } else if (depth_ == 2 && inPayload_) {
      payloadEntries.insert_or_assign(payloadKey_, Value(Kind::other));
    }
    ++depth_;
    return true;
  }

  bool close() {
    --depth_;
    if (depth_ == 1) inPayload_ = false;
    return true;
  }

  void assignTop(Value value) {
    switch (topKey_) {
      case TopKey::requestId: requestId = std::move(value); break;
      case TopKey::command: command = std::move(value); break;
      case TopKey::payload:
        // A later "payload" replaces an earlier one whole.
        payload = value.kind;
        payloadEntries.clear();
        break;
      case TopKey::other: break;
    }
  }

  int depth_ = 0;  // containers open around the next event
  TopKey topKey_ = TopKey::other;
  bool inPayload_ = false;  // inside the top-level "payload" object
  std::string payloadKey_;
};

}  // namespace

std::variant<HelperBridgeRequest, DecodeFailure> decodeRequest(std::string_view line) {
  using Kind = RequestEvents::Kind;
  RequestEvents events;
  if (!nlohmann::json::sax_parse(line, &events)) return DecodeFailure{events.error.value_or("parse error")};
  if (!events.topIsObject) return DecodeFailure{"the request is not a JSON object"};

  HelperBridgeRequest request;
  if (events.requestId.kind == Kind::absent) return DecodeFailure{"missing key \"requestId\""};
  if (events.requestId.kind != Kind::string) return DecodeFailure{"value of \"requestId\" is not a string"};
  request.requestId = std::move(events.requestId.text);

  if (events.command.kind == Kind::absent) return DecodeFailure{"missing key \"command\""};
  if (events.command.kind != Kind::string) return DecodeFailure{"value of \"command\" is not a string"};
  const auto parsed = commandFromWireName(events.command.text);
  if (!parsed) return DecodeFailure{"unknown command " + jsonQuoted(events.command.text)};
  request.command = *parsed;

  if (events.payload != Kind::absent && events.payload != Kind::null) {
    if (events.payload != Kind::object) return DecodeFailure{"value of \"payload\" is not an object"};
    Payload entries;
    for (auto& [key, value] : events.payloadEntries) {
      if (value.kind == Kind::boolean) {
        entries.insert_or_assign(key, StringOrBool(value.flag));
      } else if (value.kind == Kind::string) {
        entries.insert_or_assign(key, StringOrBool(std::move(value.text)));
      } else {
        return DecodeFailure{"payload value " + jsonQuoted(key) + " is neither a string nor a boolean"};
      }
    }
    request.payload = std::move(entries);
  }
  return request;
}

std::optional<std::string> encodeResponse(const HelperBridgeResponse& response) {
  // Room for the whole line (the caller appends its LF), so that it is
  // built without growing; escapes, rare here, may still grow it.
  std::size_t size = 40 + response.requestId.size();
  if (response.error) size += 12 + response.error->size();
  if (response.payload) {
    size += 14;
    for (const auto& [key, value] : *response.payload)
      size += key.size() + 6 + (value.string() ? value.string()->size() : 5);
  }
  std::string out;
  out.reserve(size);
  out += "{\"requestId\":";
  if (!appendJsonString(out, response.requestId)) return std::nullopt;
  out += response.success ? ",\"success\":true" : ",\"success\":false";
  if (response.error) {
    out += ",\"error\":";
    if (!appendJsonString(out, *response.error)) return std::nullopt;
  }
  if (response.payload) {
    out += ",\"payload\":{";
    bool first = true;
    for (const auto& [key, value] : *response.payload) {
      if (!first) out += ',';
      first = false;
      if (!appendJsonString(out, key)) return std::nullopt;
      out += ':';
      if (const auto* flag = value.boolean()) {
        out += *flag ? "true" : "false";
      } else if (!appendJsonString(out, *value.string())) {
        return std::nullopt;
      }
    }
    out += '}';
  }
  out += '}';
  return out;
}

HelperBridgeResponse makeResponse(std::string requestId, bool success,
                                  std::optional<std::string> error,
                                  std::optional<Payload> payload) {
  return HelperBridgeResponse{std::move(requestId), success, std::move(error), std::move(payload)};
}

std::string encodeDeviceList(const std::vector<AudioDevicePayload>& devices) {
  std::string out = "[";
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const auto& device = devices[i];
    if (i) out += ',';
    out += "{\"id\":";
    if (!appendJsonString(out, device.id)) return "[]";
    out += ",\"name\":";
    if (!appendJsonString(out, device.name)) return "[]";
    out += ",\"type\":";
    if (!appendJsonString(out, device.type)) return "[]";
    out += device.current ? ",\"current\":true}" : ",\"current\":false}";
  }
  out += ']';
  return out;
}

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const auto scalar = decodeUtf8(text, begin);
    if (!scalar || !isWhitespaceOrNewline(scalar->first)) break;
    begin += scalar->second;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t length = lastScalarLength(text, end);
    if (length == 0) break;
    const auto scalar = decodeUtf8(text, end - length);
    if (!scalar || scalar->second != length || !isWhitespaceOrNewline(scalar->first)) break;
    end -= length;
  }
  return text.substr(begin, end - begin);
}

std::vector<std::string> splitTargetsCsv(std::string_view csv) {
  std::vector<std::string> targets;
  std::size_t start = 0;
  while (start <= csv.size()) {
    const std::size_t comma = csv.find(',', start);
    const std::size_t end = comma == std::string_view::npos ? csv.size() : comma;
    const auto piece = trimWhitespaceAndNewlines(csv.substr(start, end - start));
    if (!piece.empty()) targets.emplace_back(piece);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return targets;
}

}  // namespace tavirel::bridge
