// JniBackendChannel: calls onNativeCandidate / onNativeComplete on the
// backend object of one request. Main thread only.
#pragma once

#include "driver/backend_channel.h"
#include "jni/jni_refs.h"

namespace tavirel::location {

inline constexpr const char* kCandidateMethod = "onNativeCandidate";
inline constexpr const char* kCandidateSignature = "(Ljava/lang/String;Ljava/lang/String;DDDJ)V";
inline constexpr const char* kCompleteMethod = "onNativeComplete";
inline constexpr const char* kCompleteSignature = "(Ljava/lang/String;Ljava/lang/String;)V";

class JniBackendChannel final : public BackendChannel {
 public:
  // `backend` must be non-null.
  explicit JniBackendChannel(GlobalRef backend) : backend_(std::move(backend)) {}

  // Each call looks the method up afresh on the backend's class (nothing is
  // cached, so a class can be unloaded and reloaded between requests). A
  // missing method skips the call. Every local reference made is deleted
  // before returning, and a pending exception is reported and cleared after
  // each JVM call that can raise one.
  void onNativeCandidate(const std::string& requestId, const char* source, double latitude, double longitude,
                         double accuracy, std::int64_t observedAtMillis) override;
  void onNativeComplete(const std::string& requestId, const char* code) override;

 private:
  GlobalRef backend_;
};

}  // namespace tavirel::location
