// The JVM handle, the main thread's JNI environment, and the pending-
// exception rule for calls into the JVM.
#pragma once

#include <jni.h>

#include <atomic>
#include <optional>
#include <string>
#include <string_view>

namespace tavirel::location {

// Set once by JNI_OnLoad; never cleared.
extern std::atomic<JavaVM*> gJvm;

// The JNIEnv of the calling thread, attaching it when needed. Null when no
// JVM handle was stored or attaching fails.
//
// The library's main thread is attached as a daemon thread and never
// detached: it never returns into the JVM, and a non-daemon thread would
// keep the JVM from exiting.
JNIEnv* currentEnv();

// Call after every call into the JVM. When an exception is pending, writes
// one line about it (naming `during`) to stderr, clears it and returns true.
// Our main thread never returns to Java, so an exception left pending there
// would never be thrown anywhere, and any further JNI call on it would be
// undefined.
bool clearPendingException(JNIEnv* env, std::string_view during);

// Copies a Java string's modified UTF-8 bytes. Empty for a null string and
// when the JVM cannot provide the bytes (it then has an OutOfMemoryError
// pending, which is left for the caller's Java code to see). Throws only
// std::bad_alloc, which the JNI entry points catch.
std::optional<std::string> copyUtfChars(JNIEnv* env, jstring text);

}  // namespace tavirel::location
