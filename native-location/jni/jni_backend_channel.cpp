#include "jni/jni_backend_channel.h"

#include <string>

namespace tavirel::location {
namespace {

std::string during(const char* method, const std::string& requestId) {
  return std::string(method) + " for request \"" + requestId + "\"";
}

// Finds `method` on the backend's class. On a miss the JVM raises
// NoSuchMethodError, which is reported and cleared here.
jmethodID lookUp(JNIEnv* env, jclass cls, const char* method, const char* signature, const std::string& requestId) {
  if (cls == nullptr) return nullptr;
  jmethodID id = env->GetMethodID(cls, method, signature);
  if (id == nullptr) clearPendingException(env, "looking up " + during(method, requestId));
  return id;
}

}  // namespace

void JniBackendChannel::onNativeCandidate(const std::string& requestId, const char* source, double latitude,
                                          double longitude, double accuracy, std::int64_t observedAtMillis) {
  JNIEnv* env = currentEnv();
  if (env == nullptr) return;
  // Declaration order makes the strings go before the class, as they were
  // made after it.
  ScopedLocalRef<jclass> cls(env, env->GetObjectClass(backend_.get()));
  jmethodID method = lookUp(env, cls.get(), kCandidateMethod, kCandidateSignature, requestId);
  if (method == nullptr) return;
  ScopedLocalRef<jstring> id(env, env->NewStringUTF(requestId.c_str()));
  if (clearPendingException(env, "making strings for " + during(kCandidateMethod, requestId))) return;
  ScopedLocalRef<jstring> label(env, env->NewStringUTF(source));
  if (clearPendingException(env, "making strings for " + during(kCandidateMethod, requestId))) return;
  env->CallVoidMethod(backend_.get(), method, id.get(), label.get(), latitude, longitude, accuracy,
                      static_cast<jlong>(observedAtMillis));
  clearPendingException(env, during(kCandidateMethod, requestId));
}

void JniBackendChannel::onNativeComplete(const std::string& requestId, const char* code) {
  JNIEnv* env = currentEnv();
  if (env == nullptr) return;
  ScopedLocalRef<jclass> cls(env, env->GetObjectClass(backend_.get()));
  jmethodID method = lookUp(env, cls.get(), kCompleteMethod, kCompleteSignature, requestId);
  if (method == nullptr) return;
  ScopedLocalRef<jstring> id(env, env->NewStringUTF(requestId.c_str()));
  if (clearPendingException(env, "making strings for " + during(kCompleteMethod, requestId))) return;
  ScopedLocalRef<jstring> text(env, env->NewStringUTF(code));
  if (clearPendingException(env, "making strings for " + during(kCompleteMethod, requestId))) return;
  env->CallVoidMethod(backend_.get(), method, id.get(), text.get());
  clearPendingException(env, during(kCompleteMethod, requestId));
}

}  // namespace tavirel::location
