// BackendChannel: the driver's view of the JVM backend object of one request.
//
// The JNI layer implements it with a global reference; tests implement it
// with a recorder. Destroying the channel releases the backend. Main thread
// only.
#pragma once

#include <cstdint>
#include <string>

namespace tavirel::location {

class BackendChannel {
 public:
  virtual ~BackendChannel() = default;
  virtual void onNativeCandidate(const std::string& requestId, const char* source, double latitude,
                                 double longitude, double accuracy, std::int64_t observedAtMillis) = 0;
  virtual void onNativeComplete(const std::string& requestId, const char* code) = 0;
};

}  // namespace tavirel::location
