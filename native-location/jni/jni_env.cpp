#include "jni/jni_env.h"

#include <string>

#include "jni/jni_refs.h"
#include "platform/diagnostics.h"

namespace tavirel::location {

std::atomic<JavaVM*> gJvm{nullptr};

JNIEnv* currentEnv() {
  JavaVM* vm = gJvm.load(std::memory_order_acquire);
  if (vm == nullptr) return nullptr;
  void* env = nullptr;
  const jint got = vm->GetEnv(&env, JNI_VERSION_1_6);
  if (got != JNI_EDETACHED) return static_cast<JNIEnv*>(env);

  JavaVMAttachArgs args{};
  args.version = JNI_VERSION_1_6;
  args.name = const_cast<char*>("tavirel-location-main");
  args.group = nullptr;
  if (vm->AttachCurrentThreadAsDaemon(&env, &args) != JNI_OK) return nullptr;
  return static_cast<JNIEnv*>(env);
}

namespace {

// Best effort: the throwable's toString(), or a placeholder when even that
// fails. Must be called with no exception pending.
std::string describeThrowable(JNIEnv* env, jthrowable throwable) {
  ScopedLocalRef<jclass> cls(env, env->GetObjectClass(throwable));
  jmethodID toString = cls ? env->GetMethodID(cls.get(), "toString", "()Ljava/lang/String;") : nullptr;
  if (toString == nullptr) {
    env->ExceptionClear();
    return "(no description)";
  }
  ScopedLocalRef<jobject> text(env, env->CallObjectMethod(throwable, toString));
  if (env->ExceptionCheck()) {
    env->ExceptionClear();
    return "(toString threw)";
  }
  if (!text) return "null";
  auto bytes = copyUtfChars(env, static_cast<jstring>(text.get()));
  if (env->ExceptionCheck()) env->ExceptionClear();
  return bytes ? *bytes : "(no description)";
}

}  // namespace

bool clearPendingException(JNIEnv* env, std::string_view during) {
  if (!env->ExceptionCheck()) return false;
  ScopedLocalRef<jthrowable> throwable(env, env->ExceptionOccurred());
  env->ExceptionClear();
  std::string line(during);
  line += " raised ";
  line += throwable ? describeThrowable(env, throwable.get()) : "an exception";
  line += "; cleared";
  writeDiagnosticLine(line);
  return true;
}

std::optional<std::string> copyUtfChars(JNIEnv* env, jstring text) {
  if (text == nullptr) return std::nullopt;
  const char* chars = env->GetStringUTFChars(text, nullptr);
  if (chars == nullptr) return std::nullopt;
  // Modified UTF-8 has no zero byte, so the C string is the whole text.
  std::optional<std::string> copy;
  try {
    copy.emplace(chars);
  } catch (...) {
    env->ReleaseStringUTFChars(text, chars);
    throw;
  }
  env->ReleaseStringUTFChars(text, chars);
  return copy;
}

}  // namespace tavirel::location
