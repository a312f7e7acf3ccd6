package com.kestrum.k207.browser.attendance.location;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.ref.WeakReference;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

import com.kestrum.k207.browser.attendance.location.JniNativeLocationBackend.Callback;

/**
 * Prints the library's figures: how long a simulated position takes to reach
 * onNativeCandidate, and what 10,000 requests leave behind in the JVM (heap,
 * threads, native memory). A measurement, not a test: it judges nothing.
 *
 * Needs TAVIREL_LOCATION_SIMULATION to name a writable file; the program
 * writes its own scenarios there.
 */
public final class LocationBench {
    private static final long WAIT_SECONDS = 60;

    private LocationBench() {
    }

    public static void main(String[] args) throws Exception {
        String variable = System.getenv("TAVIREL_LOCATION_SIMULATION");
        if (variable == null) {
            System.err.println("set TAVIREL_LOCATION_SIMULATION to a writable scenario path");
            System.exit(2);
        }
        Path scenario = Path.of(variable);
        int samples = args.length > 0 ? Integer.parseInt(args[0]) : 2000;
        int requests = args.length > 1 ? Integer.parseInt(args[1]) : 10_000;

        int threadsAtStart = ManagementFactory.getThreadMXBean().getThreadCount();
        // Phase 1: latency, one request at a time so nothing queues.
        write(scenario, "{\"servicesEnabled\": false}");
        measure("warm-up", 300, "complete");
        double[] baseline = measure("start -> onNativeComplete, services off", samples, "complete");
        write(scenario, """
                {"authorizationStatus": 3, "events": [
                  {"atMs": 0, "locations": [{"latitude": 1, "longitude": 2, "accuracy": 3}]}]}""");
        double[] candidate = measure("start -> onNativeCandidate, position due at once", samples, "candidate");
        System.out.printf("position -> onNativeCandidate, estimated as the difference of the two medians:"
                + " %.3f ms%n", median(candidate) - median(baseline));

        // Phase 2: what many requests leave behind.
        write(scenario, """
                {"authorizationStatus": 3, "events": [
                  {"atMs": 0, "locations": [{"latitude": 1, "longitude": 2, "accuracy": 3}]},
                  {"atMs": 5, "error": 0}]}""");
        gc();
        Snapshot before = Snapshot.take();
        long began = System.nanoTime();
        List<WeakReference<JniNativeLocationBackend>> refs = runMany(requests, 4, 250);
        long tookMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - began);
        // Each request's timeout (1 s) still holds its finished driver; let
        // those run out before measuring.
        fence(1500);
        gc();
        long live = refs.stream().filter(r -> r.get() != null).count();
        refs = null; // the 10,000 weak references themselves are not the library's
        gc();
        Snapshot after = Snapshot.take();
        System.out.println("live threads before the first request: " + threadsAtStart);
        System.out.printf("%d requests (candidate + completion each) from 4 threads in %d ms%n", requests, tookMs);
        System.out.println("before: " + before);
        System.out.println("after:  " + after);
        System.out.println("backends still referenced after GC: " + live);
        System.exit(0);
    }

    private static void write(Path scenario, String json) throws IOException {
        Path temp = scenario.resolveSibling(scenario.getFileName() + ".tmp");
        Files.writeString(temp, json);
        Files.move(temp, scenario, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
    }

    /** Milliseconds from nativeStart to the first callback of `kind`, per request. */
    private static double[] measure(String label, int count, String kind) throws InterruptedException {
        double[] millis = new double[count];
        for (int i = 0; i < count; i++) {
            JniNativeLocationBackend backend = new JniNativeLocationBackend();
            String id = "m-" + label.hashCode() + "-" + i;
            long start = System.nanoTime();
            backend.nativeStart(id, 5_000);
            boolean got = backend.awaitUntil(l -> l.stream().anyMatch(c -> c.kind().equals(kind)),
                    System.nanoTime() + TimeUnit.SECONDS.toNanos(WAIT_SECONDS));
            if (!got) {
                throw new IllegalStateException("no " + kind + " for " + id);
            }
            Callback first = backend.callbacks().stream().filter(c -> c.kind().equals(kind)).findFirst().orElseThrow();
            millis[i] = (first.arrivedNanos() - start) / 1e6;
            backend.nativeCancel(id);
        }
        if (!label.equals("warm-up")) {
            double[] sorted = millis.clone();
            Arrays.sort(sorted);
            System.out.printf("%s: median %.3f ms, p90 %.3f ms, p99 %.3f ms (n=%d)%n", label, median(millis),
                    sorted[(int) (count * 0.9)], sorted[(int) (count * 0.99)], count);
        }
        return millis;
    }

    private static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }

    private static List<WeakReference<JniNativeLocationBackend>> runMany(int total, int threads, int batch)
            throws InterruptedException {
        List<WeakReference<JniNativeLocationBackend>> refs = new ArrayList<>();
        for (int done = 0; done < total; done += batch) {
            int size = Math.min(batch, total - done);
            JniNativeLocationBackend[] backends = new JniNativeLocationBackend[size];
            for (int i = 0; i < size; i++) {
                backends[i] = new JniNativeLocationBackend();
                refs.add(new WeakReference<>(backends[i]));
            }
            int offset = done;
            List<Thread> starters = new ArrayList<>();
            for (int t = 0; t < threads; t++) {
                int first = t;
                Thread starter = new Thread(() -> {
                    for (int i = first; i < size; i += threads) {
                        backends[i].nativeStart("many-" + (offset + i), 1_000);
                    }
                });
                starters.add(starter);
                starter.start();
            }
            for (Thread starter : starters) {
                starter.join(TimeUnit.SECONDS.toMillis(WAIT_SECONDS));
            }
            long until = System.nanoTime() + TimeUnit.SECONDS.toNanos(WAIT_SECONDS);
            for (JniNativeLocationBackend backend : backends) {
                if (!backend.awaitUntil(l -> l.stream().anyMatch(Callback::isCompletion), until)) {
                    throw new IllegalStateException("a request never completed");
                }
            }
        }
        return refs;
    }

    private static void fence(long millis) throws InterruptedException {
        JniNativeLocationBackend fence = new JniNativeLocationBackend();
        try {
            write(Path.of(System.getenv("TAVIREL_LOCATION_SIMULATION")),
                    "{\"authorizationStatus\": 0}");
        } catch (IOException e) {
            throw new IllegalStateException(e);
        }
        fence.nativeStart("fence", millis);
        if (!fence.awaitUntil(l -> !l.isEmpty(), System.nanoTime() + TimeUnit.SECONDS.toNanos(WAIT_SECONDS))) {
            throw new IllegalStateException("fence never ended");
        }
    }

    private static void gc() throws InterruptedException {
        for (int i = 0; i < 3; i++) {
            System.gc();
            Thread.sleep(50);
        }
    }

    private record Snapshot(long heapUsedKiB, long heapCommittedKiB, int threads, int peakThreads, long rssKiB) {
        static Snapshot take() throws InterruptedException {
            var memory = ManagementFactory.getMemoryMXBean().getHeapMemoryUsage();
            var threads = ManagementFactory.getThreadMXBean();
            return new Snapshot(memory.getUsed() / 1024, memory.getCommitted() / 1024, threads.getThreadCount(),
                    threads.getPeakThreadCount(), rss());
        }

        private static long rss() {
            try {
                for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
                    if (line.startsWith("VmRSS:")) {
                        return Long.parseLong(line.replaceAll("[^0-9]", ""));
                    }
                }
            } catch (IOException | NumberFormatException e) {
                return -1;
            }
            return -1;
        }

        @Override
        public String toString() {
            return String.format("heap used %d KiB (committed %d KiB), live threads %d (peak %d), RSS %d KiB",
                    heapUsedKiB, heapCommittedKiB, threads, peakThreads, rssKiB);
        }
    }
}
