package com.kestrum.k207.browser.attendance.location;

import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.function.Predicate;
import com.kestrum.k207.browser.attendance.location.JniNativeLocationBackend.Callback;

/** Checks and bounded waits shared by the JVM suites. */
final class JvmChecks {
    /** How long one case may wait for any one thing. */
    static final long CASE_SECONDS = 20;

    private JvmChecks() {
    }

    static long deadline(long seconds) {
        return System.nanoTime() + TimeUnit.SECONDS.toNanos(seconds);
    }

    static void check(boolean ok, String message) {
        if (!ok) {
            throw new AssertionError(message);
        }
    }

    static void await(JniNativeLocationBackend backend, Predicate<List<Callback>> condition, String what)
            throws InterruptedException {
        check(backend.awaitUntil(condition, deadline(CASE_SECONDS)),
                "timed out waiting for " + what + "; callbacks so far: " + backend.callbacks());
    }

    static Predicate<List<Callback>> completed() {
        return list -> list.stream().anyMatch(Callback::isCompletion);
    }

    static Predicate<List<Callback>> candidates(int count) {
        return list -> list.stream().filter(Callback::isCandidate).count() >= count;
    }

    static String labels(List<Callback> callbacks) {
        return String.join(",", callbacks.stream().map(c -> c.kind() + ":" + c.label()).toList());
    }
}
