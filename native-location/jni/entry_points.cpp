// The library's JNI exports and the main-queue tasks they post.
//
// The native methods run on whatever JVM thread calls them, so they only
// copy their arguments, make the backend's global reference and post one
// task to the main queue; everything else happens on the main thread. No
// C++ exception may cross back into the JVM: each export ends in a
// catch-all.
#include <jni.h>

#include <cassert>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "driver/request_registry.h"
#include "driver/tavirel_location_delegate.h"
#include "jni/jni_backend_channel.h"
#include "jni/jni_env.h"
#include "jni/jni_refs.h"
#include "platform/diagnostics.h"
#include "platform/main_queue.h"

namespace tavirel::location {
namespace {

std::once_flag onceToken;
RequestRegistry* requests = nullptr;

// The process-wide registry. Main thread only. Never destroyed, for the
// same reason as the main queue.
RequestRegistry& requestMap() {
  std::call_once(onceToken, [] { requests = new RequestRegistry; });
  return *requests;
}

DriverContext& processContext() {
  static SystemClock* const clock = new SystemClock;
  static DriverContext* const context = new DriverContext{*clock, MainQueue::main(), requestMap()};
  return *context;
}

void runStartTask(const std::string& requestId, GlobalRef backend, jlong timeoutMillis) {
  assert(MainQueue::main().isCurrent());
  DriverContext& context = processContext();
  std::unique_ptr<BackendChannel> channel;
  // Without a global reference the request still runs, telling no one.
  if (backend) channel = std::make_unique<JniBackendChannel>(std::move(backend));
  auto request = TavirelLocationDelegate::initWithRequestId(
      requestId, std::move(channel), locationServiceForRequest(requestId, context.mainQueue, context.clock),
      context);
  requestMap().insert(requestId, request);
  request->beginWithTimeoutMillis(timeoutMillis);
}

void runCancelTask(const std::string& requestId) {
  assert(MainQueue::main().isCurrent());
  if (auto request = requestMap().find(requestId)) request->cancel();
}

// Usually reached through std::bad_alloc, so it allocates nothing itself.
void reportEscaped(const char* where) noexcept {
  char line[128];
  std::snprintf(line, sizeof line, "%s failed inside the library; the call had no effect", where);
  writeDiagnosticLine(line);
}

}  // namespace
}  // namespace tavirel::location

using namespace tavirel::location;

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void* /*reserved*/) {
  gJvm.store(vm, std::memory_order_release);
  return JNI_VERSION_1_6;
}

extern "C" JNIEXPORT void JNICALL Java_com_kestrum_k207_browser_attendance_location_JniNativeLocationBackend_nativeStart(
    JNIEnv* env, jobject self, jstring requestId, jlong timeoutMillis) {
  try {
    auto id = copyUtfChars(env, requestId);
    if (!id) return;
    // The task owns the reference until it runs, then the request does.
    GlobalRef backend(env, self);
    MainQueue::main().post([id = std::move(*id), backend = std::move(backend), timeoutMillis]() mutable {
      runStartTask(id, std::move(backend), timeoutMillis);
    });
  } catch (...) {
    reportEscaped("nativeStart");
  }
}

extern "C" JNIEXPORT void JNICALL Java_com_kestrum_k207_browser_attendance_location_JniNativeLocationBackend_nativeCancel(
    JNIEnv* env, jobject /*self*/, jstring requestId) {
  try {
    auto id = copyUtfChars(env, requestId);
    if (!id) return;
    MainQueue::main().post([id = std::move(*id)] { runCancelTask(id); });
  } catch (...) {
    reportEscaped("nativeCancel");
  }
}
