// RAII for JNI references.
//
// Our main thread never returns to the JVM, so a local reference made there
// is never freed by a native frame ending: each must be deleted right after
// use, which is what ScopedLocalRef is for. A GlobalRef is the one owned
// reference to a backend object a request holds.
#pragma once

#include <jni.h>

#include <utility>

#include "jni/jni_env.h"

namespace tavirel::location {

template <typename T>
class ScopedLocalRef {
 public:
  // No default constructor: a scoped ref without an environment could not
  // delete what it is later given.
  ScopedLocalRef(JNIEnv* env, T ref) : env_(env), ref_(ref) {}
  ~ScopedLocalRef() {
    if (ref_ != nullptr) env_->DeleteLocalRef(ref_);
  }
  ScopedLocalRef(const ScopedLocalRef&) = delete;
  ScopedLocalRef& operator=(const ScopedLocalRef&) = delete;

  T get() const { return ref_; }
  explicit operator bool() const { return ref_ != nullptr; }

 private:
  JNIEnv* env_;
  T ref_;
};

class GlobalRef {
 public:
  // Makes a global reference to `object`; null when the JVM could not.
  GlobalRef(JNIEnv* env, jobject object) : ref_(object != nullptr ? env->NewGlobalRef(object) : nullptr) {}
  GlobalRef(GlobalRef&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
  GlobalRef& operator=(GlobalRef&&) = delete;
  GlobalRef(const GlobalRef&) = delete;
  GlobalRef& operator=(const GlobalRef&) = delete;

  // Deletes the reference with the calling thread's environment. Without one
  // (no JVM, attach failed) it cannot be deleted and stays held.
  ~GlobalRef() {
    if (ref_ == nullptr) return;
    if (JNIEnv* env = currentEnv()) env->DeleteGlobalRef(ref_);
  }

  jobject get() const { return ref_; }
  explicit operator bool() const { return ref_ != nullptr; }

 private:
  jobject ref_;
};

}  // namespace tavirel::location
