#include "engine/engine_error.h"

namespace tavirel::engine {

std::string statusFailure(std::string_view operation, int status) {
  std::string detail(operation);
  detail += " returned value ";
  detail += std::to_string(status);
  return "exception(result: \"" + detail + "\")";
}

std::string nullFailure(std::string_view kind) {
  return "exception(result: \"create null " + std::string(kind) + " value\")";
}

}  // namespace tavirel::engine
