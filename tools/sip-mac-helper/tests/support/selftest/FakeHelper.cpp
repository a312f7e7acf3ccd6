// Stand-in for the helper in the client's own tests: answers each request
// line with one response line, and misbehaves on request so the client's
// protocol checks can be seen to fire.
//
//   GET_ENV        payload {"name": X}  -> payload {"value": $X or absent}
//   GET_CALL_STATE                      -> "outgoingInit" twice, then "streamsRunning"
//   STRAY_STDOUT                        -> a non-JSON line, then the response
//   WRONG_ID                            -> a response for another requestId
//   EXIT                                -> exits with status 3, no response
//   anything else                       -> success, payload {"command": name}
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

int main() {
  int callStateQueries = 0;
  for (std::string line; std::getline(std::cin, line);) {
    std::cerr << "[FAKE_TRACE] stage=request line=" << line << std::endl;
    nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
    if (!request.is_object() || !request.contains("requestId") || !request.contains("command")) {
      std::cout << R"({"requestId":"","success":false,"error":"Invalid request: bad line"})"
                << std::endl;
      continue;
    }
    std::string command = request["command"];
    nlohmann::json response = {{"requestId", request["requestId"]}, {"success", true}};
    if (command == "GET_ENV") {
      std::string name = request["payload"]["name"];
      const char* value = std::getenv(name.c_str());
      response["payload"] = nlohmann::json::object();
      if (value != nullptr) response["payload"]["value"] = value;
    } else if (command == "GET_CALL_STATE") {
      ++callStateQueries;
      response["payload"] = {{"state", callStateQueries <= 2 ? "outgoingInit" : "streamsRunning"}};
    } else if (command == "STRAY_STDOUT") {
      std::cout << "engine says hello" << std::endl;
    } else if (command == "WRONG_ID") {
      response["requestId"] = "other";
    } else if (command == "EXIT") {
      return 3;
    } else {
      response["payload"] = {{"command", command}};
    }
    std::cout << response.dump() << std::endl;
  }
  return 0;
}
