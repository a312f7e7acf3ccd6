package com.kestrum.k207.browser.attendance.location;

import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.TimeUnit;
import java.util.function.Predicate;

/**
 * Test backend for the native location library: starts and cancels requests
 * through the library's native methods and records every callback, with the
 * thread it arrived on, for the tests to wait on and inspect.
 *
 * The application's real backend lives outside this repository; this class
 * has the same native methods and callback signatures, which is all the
 * library relies on.
 */
public class JniNativeLocationBackend {
    static {
        System.loadLibrary("tavirel_location");
    }

    /** Every thread any backend has been called on, process-wide. */
    public static final Set<Thread> CALLBACK_THREADS = ConcurrentHashMap.newKeySet();

    /** One call from the library. */
    public record Callback(String kind, String requestId, String label, double latitude, double longitude,
                           double accuracy, long observedAtMillis, Thread thread, long arrivedNanos) {
        public boolean isCandidate() {
            return kind.equals("candidate");
        }

        public boolean isCompletion() {
            return kind.equals("complete");
        }
    }

    private final List<Callback> callbacks = new ArrayList<>(); // guarded by this

    public native void nativeStart(String requestId, long timeoutMillis);

    public native void nativeCancel(String requestId);

    public void onNativeCandidate(String requestId, String source, double latitude, double longitude,
                                  double accuracy, long observedAtMillis) {
        record(new Callback("candidate", requestId, source, latitude, longitude, accuracy, observedAtMillis,
                Thread.currentThread(), System.nanoTime()));
    }

    public void onNativeComplete(String requestId, String code) {
        record(new Callback("complete", requestId, code, 0, 0, 0, 0, Thread.currentThread(), System.nanoTime()));
    }

    protected void record(Callback callback) {
        CALLBACK_THREADS.add(callback.thread());
        synchronized (this) {
            callbacks.add(callback);
            notifyAll();
        }
    }

    public synchronized List<Callback> callbacks() {
        return new ArrayList<>(callbacks);
    }

    public synchronized List<Callback> completions() {
        return callbacks.stream().filter(Callback::isCompletion).toList();
    }

    public synchronized List<Callback> candidates() {
        return callbacks.stream().filter(Callback::isCandidate).toList();
    }

    /**
     * Waits until {@code condition} holds for the callbacks so far or the
     * deadline (a {@link System#nanoTime} value) passes; returns whether it
     * held.
     */
    public synchronized boolean awaitUntil(Predicate<List<Callback>> condition, long deadlineNanos)
            throws InterruptedException {
        while (!condition.test(callbacks)) {
            long left = deadlineNanos - System.nanoTime();
            if (left <= 0) {
                return false;
            }
            TimeUnit.NANOSECONDS.timedWait(this, left);
        }
        return true;
    }
}
