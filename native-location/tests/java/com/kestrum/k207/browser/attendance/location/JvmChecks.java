package com.kestrum.k207.browser.attendance.location;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
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

    /**
     * Starts every backend of row t from a thread of its own, all threads at
     * once, as request "many-t-i" with the given timeout, and waits until
     * every thread has made its calls. Returns the threads.
     */
    static List<Thread> startAtOnce(JniNativeLocationBackend[][] backends, int timeoutMillis)
            throws InterruptedException {
        CountDownLatch go = new CountDownLatch(1);
        List<Thread> starters = new ArrayList<>();
        for (int t = 0; t < backends.length; t++) {
            JniNativeLocationBackend[] row = backends[t];
            String prefix = "many-" + t + "-";
            Thread starter = new Thread(() -> {
                try {
                    go.await();
                } catch (InterruptedException e) {
                    return;
                }
                for (int i = 0; i < row.length; i++) {
                    row[i].nativeStart(prefix + i, timeoutMillis);
                }
            }, "starter-" + t);
            starters.add(starter);
            starter.start();
        }
        go.countDown();
        for (Thread starter : starters) {
            starter.join(TimeUnit.SECONDS.toMillis(CASE_SECONDS));
            check(!starter.isAlive(), "starter thread stuck");
        }
        return starters;
    }
}
