package com.kestrum.k207.browser.attendance.location;

import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Instant;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

import com.kestrum.k207.browser.attendance.location.JniNativeLocationBackend.Callback;
import static com.kestrum.k207.browser.attendance.location.JvmChecks.*;

/**
 * The location library against a real GeoClue2 daemon (see GeoclueRig),
 * without a simulation: what a JVM on a Linux desktop gets.
 *
 * Run without arguments, this is the harness: one child JVM per desktop id
 * (the library reads it from the environment, which a running JVM cannot
 * change), with the same JVM options so -Xcheck:jni carries over. Each
 * child runs its own rig and ends by returning from main, so the harness
 * also sees that a JVM with the library's D-Bus connection open still
 * exits by itself.
 *
 * To show that nothing more arrives for a request, a case runs a "fence": a
 * request ending by its own timeout. The library runs every D-Bus callback
 * and timeout on one thread, so once the fence has reported, everything
 * that reached the library before it has been handled.
 */
public final class GeoclueJvmTests {
    private static final long CHILD_SECONDS = 150;
    private static final int SKIPPED = 77;

    private GeoclueJvmTests() {
    }

    public static void main(String[] args) throws Exception {
        String mode = args.length == 0 ? "harness" : args[0];
        if (mode.equals("harness")) {
            System.exit(runHarness());
        }
        Path dir = Path.of(System.getenv("TAVIREL_TEST_RIG_DIR"));
        int failures = switch (mode) {
            case "allowedApp" -> new AllowedAppSuite(dir).run();
            case "deniedApp" -> runDeniedApp(dir);
            default -> {
                System.out.println("unknown mode " + mode);
                yield 1;
            }
        };
        // Returning, not System.exit: the JVM must end by itself with the
        // library's connection and GLib's threads still there.
        System.out.println(failures == 0 ? "suite passed, main returning" : failures + " case(s) failed");
    }

    // ---------------------------------------------------------------- harness

    private static int runHarness() throws Exception {
        String missing = GeoclueRig.missingPrerequisite();
        if (missing != null) {
            System.out.println("skipped: " + missing);
            return SKIPPED;
        }
        Path dir = Files.createTempDirectory("tavirel-geoclue-tests");
        // The daemon runs as its own user and must reach the sockets inside.
        Files.setPosixFilePermissions(dir, java.nio.file.attribute.PosixFilePermissions.fromString("rwxr-xr-x"));
        List<String> failures = new ArrayList<>();
        try {
            for (var entry : Map.of("allowedApp", GeoclueRig.ALLOWED_APP, "deniedApp", GeoclueRig.DENIED_APP)
                    .entrySet()) {
                String mode = entry.getKey();
                Path rig = Files.createDirectory(dir.resolve(mode));
                long began = System.nanoTime();
                String[] result = runChild(rig, mode, Map.of(
                        "DBUS_SYSTEM_BUS_ADDRESS", GeoclueRig.busAddress(rig),
                        "TAVIREL_LOCATION_DESKTOP_ID", entry.getValue(),
                        "TAVIREL_TEST_RIG_DIR", rig.toString()));
                System.out.println("[" + mode + "] took "
                        + TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - began) + " ms");
                String all = result[1] + result[2];
                if (!result[0].equals("0") || !result[1].contains("suite passed, main returning")) {
                    failures.add(mode + ": exit " + result[0]);
                    for (String log : List.of("dbus.log", "geoclue.log", "agent.log")) {
                        Path file = rig.resolve(log);
                        if (Files.exists(file)) {
                            Files.readString(file).lines().forEach(l -> System.out.println("[" + mode + " " + log + "] " + l));
                        }
                    }
                }
                if (ManagementFactory.getRuntimeMXBean().getInputArguments().contains("-Xcheck:jni")
                        && (all.contains("WARNING") || all.contains("FATAL ERROR") || all.contains("handler modified"))) {
                    failures.add(mode + ": the JNI checker complained");
                }
            }
        } finally {
            try (Stream<Path> paths = Files.walk(dir)) {
                for (Path p : paths.sorted(Comparator.reverseOrder()).toList()) {
                    Files.deleteIfExists(p);
                }
            }
        }
        failures.forEach(f -> System.out.println("FAIL " + f));
        System.out.println(failures.isEmpty() ? "all suites passed" : failures.size() + " suite(s) failed");
        return failures.isEmpty() ? 0 : 1;
    }

    /** Exit status (or "killed"), stdout, stderr. */
    private static String[] runChild(Path dir, String mode, Map<String, String> environment) throws Exception {
        List<String> command = new ArrayList<>();
        command.add(ProcessHandle.current().info().command().orElse("java"));
        command.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.add(GeoclueJvmTests.class.getName());
        command.add(mode);
        Path out = dir.resolve("jvm.out");
        Path err = dir.resolve("jvm.err");
        ProcessBuilder builder = new ProcessBuilder(command).redirectOutput(out.toFile()).redirectError(err.toFile());
        builder.environment().remove("TAVIREL_LOCATION_SIMULATION");
        builder.environment().putAll(environment);
        Process child = builder.start();
        String status;
        if (child.waitFor(CHILD_SECONDS, TimeUnit.SECONDS)) {
            status = Integer.toString(child.exitValue());
        } else {
            // Its rig goes with it: the child's shutdown hook stops the daemons.
            child.destroy();
            if (!child.waitFor(10, TimeUnit.SECONDS)) {
                child.destroyForcibly();
            }
            status = "killed after " + CHILD_SECONDS + " s";
        }
        String outText = Files.readString(out, StandardCharsets.UTF_8);
        String errText = Files.readString(err, StandardCharsets.UTF_8);
        outText.lines().forEach(l -> System.out.println("[" + mode + "] " + l));
        errText.lines().forEach(l -> System.out.println("[" + mode + " stderr] " + l));
        return new String[] {status, outText, errText};
    }

    // ------------------------------------------------------------- helpers

    private static void fence(long millis) throws InterruptedException {
        JniNativeLocationBackend fence = new JniNativeLocationBackend();
        fence.nativeStart("fence", millis);
        await(fence, completed(), "the fence");
    }

    private static int runCases(Map<String, Case> cases) {
        int failures = 0;
        for (var entry : cases.entrySet()) {
            long began = System.nanoTime();
            try {
                entry.getValue().run();
                System.out.println("ok " + entry.getKey() + " ("
                        + TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - began) + " ms)");
            } catch (Throwable t) {
                failures++;
                System.out.println("FAIL " + entry.getKey() + ": " + t);
            }
        }
        return failures;
    }

    private interface Case {
        void run() throws Exception;
    }

    // ------------------------------------------------------------ denied app

    private static int runDeniedApp(Path dir) throws Exception {
        try (GeoclueRig rig = new GeoclueRig(dir)) {
            rig.startAgent(8);
            return runCases(Map.of("disallowedByConfigurationIsDenied", () -> {
                JniNativeLocationBackend backend = new JniNativeLocationBackend();
                backend.nativeStart("denied", 10_000);
                await(backend, completed(), "denied");
                rig.awaitInUse(false);
                check(labels(backend.callbacks()).equals("complete:denied"), "got " + backend.callbacks());
            }));
        }
    }

    // ----------------------------------------------------------- allowed app

    /**
     * One daemon through a desktop's life: positions, cancels, many clients,
     * the user switching geolocation off, the agent, the daemon and finally
     * the bus going away. The order matters, and each case leaves the rig as
     * the next expects it.
     */
    static final class AllowedAppSuite {
        private final Path dir;
        private GeoclueRig rig;
        private double latitude = 48.1;

        AllowedAppSuite(Path dir) {
            this.dir = dir;
        }

        int run() throws Exception {
            Map<String, Case> cases = new LinkedHashMap<>();
            cases.put("positionsArriveAsCandidatesThenTimeout", this::positionsArriveAsCandidatesThenTimeout);
            cases.put("cancelStopsTheClient", this::cancelStopsTheClient);
            cases.put("twoHundredConcurrentRequestsEachEndOnce", this::twoHundredConcurrentRequestsEachEndOnce);
            cases.put("geolocationOffAtTheAgentIsDisabled", this::geolocationOffAtTheAgentIsDisabled);
            cases.put("geolocationSwitchedOffWhileRunningIsDisabled",
                    this::geolocationSwitchedOffWhileRunningIsDisabled);
            cases.put("noAgentTimesOutAndCancelStillWorks", this::noAgentTimesOutAndCancelStillWorks);
            cases.put("daemonKilledDuringARequestIsUnavailable", this::daemonKilledDuringARequestIsUnavailable);
            cases.put("noServiceOnTheBusIsDisabled", this::noServiceOnTheBusIsDisabled);
            cases.put("noBusIsDisabled", this::noBusIsDisabled);
            cases.put("everyCallbackOnTheLibrarysThread", this::everyCallbackOnTheLibrarysThread);
            try (GeoclueRig started = new GeoclueRig(dir)) {
                rig = started;
                rig.startAgent(8);
                return runCases(cases);
            }
        }

        /** A fix at a new place each time, so the daemon never drops one as no better than the last. */
        private Instant feed(double hdop, Instant at) throws Exception {
            latitude += 0.01;
            return rig.feeder().feed(latitude, 11.5, hdop, at);
        }

        /** Starts a request and waits until its client runs and the NMEA source listens. */
        private JniNativeLocationBackend running(String id, long timeoutMillis) throws Exception {
            JniNativeLocationBackend backend = new JniNativeLocationBackend();
            backend.nativeStart(id, timeoutMillis);
            rig.awaitInUse(true);
            rig.feeder().awaitConnection();
            return backend;
        }

        private void positionsArriveAsCandidatesThenTimeout() throws Exception {
            long startedAt = System.currentTimeMillis();
            JniNativeLocationBackend backend = running("fix", 2_500);
            // One stamped well before the start, one after it (the daemon
            // stamps whole seconds, so "after" is the next second at least).
            Instant old = feed(8.0, Instant.now().minusSeconds(60));
            double oldLatitude = latitude;
            await(backend, candidates(1), "the first candidate");
            Instant fresh = feed(1.5, Instant.ofEpochSecond(Instant.now().getEpochSecond() + 1));
            await(backend, candidates(2), "the second candidate");
            await(backend, completed(), "timeout");
            List<Callback> got = backend.callbacks();
            check(labels(got).equals("candidate:cached,candidate:fresh,complete:timeout"), "got " + got);
            Callback first = got.get(0);
            check(Math.abs(first.latitude() - oldLatitude) < 1e-6 && Math.abs(first.longitude() - 11.5) < 1e-6,
                    "position " + first);
            // What 2.6 makes of these HDOPs.
            check(first.accuracy() == 50.0 && got.get(1).accuracy() == 1.0, "accuracy " + got);
            check(first.observedAtMillis() == old.toEpochMilli() && first.observedAtMillis() < startedAt,
                    "stamp " + first.observedAtMillis() + " for a fix at " + old);
            check(got.get(1).observedAtMillis() == fresh.toEpochMilli(), "stamp " + got.get(1));
            check(Math.abs(got.get(1).latitude() - latitude) < 1e-6, "second position " + got.get(1));
            rig.awaitInUse(false); // the timeout stopped the client
        }

        private void cancelStopsTheClient() throws Exception {
            JniNativeLocationBackend backend = running("cancelled", 10_000);
            feed(1.5, Instant.now());
            await(backend, candidates(1), "a candidate");
            backend.nativeCancel("cancelled");
            rig.awaitInUse(false); // Stop reached the daemon
            int seen = backend.callbacks().size();
            JniNativeLocationBackend other = running("after-cancel", 300);
            feed(1.5, Instant.now());
            await(other, candidates(1), "a candidate for the next request");
            await(other, completed(), "its timeout");
            fence(0);
            check(backend.callbacks().size() == seen && backend.completions().isEmpty(),
                    "after the cancel: " + backend.callbacks());
            rig.awaitInUse(false);
        }

        private void twoHundredConcurrentRequestsEachEndOnce() throws Exception {
            int threads = 8;
            int perThread = 25;
            JniNativeLocationBackend[][] backends = new JniNativeLocationBackend[threads][perThread];
            for (int t = 0; t < threads; t++) {
                for (int i = 0; i < perThread; i++) {
                    backends[t][i] = new JniNativeLocationBackend();
                }
            }
            // Every fourth one is cancelled below; the rest time out.
            startAtOnce(backends, 4_000);
            rig.awaitInUse(true);
            rig.feeder().awaitConnection();
            feed(1.5, Instant.now());
            long until = deadline(CASE_SECONDS);
            for (int t = 0; t < threads; t++) {
                for (int i = 0; i < perThread; i++) {
                    check(backends[t][i].awaitUntil(candidates(1), until), "many-" + t + "-" + i + " got no position: "
                            + backends[t][i].callbacks());
                    if (i % 4 == 0) {
                        backends[t][i].nativeCancel("many-" + t + "-" + i);
                    }
                }
            }
            for (int t = 0; t < threads; t++) {
                for (int i = 0; i < perThread; i++) {
                    if (i % 4 != 0) {
                        check(backends[t][i].awaitUntil(completed(), until), "many-" + t + "-" + i + " never ended");
                    }
                }
            }
            fence(100);
            for (int t = 0; t < threads; t++) {
                for (int i = 0; i < perThread; i++) {
                    String id = "many-" + t + "-" + i;
                    List<Callback> got = backends[t][i].callbacks();
                    String expectedEnd = i % 4 == 0 ? "" : "complete:timeout";
                    check(got.stream().filter(Callback::isCompletion).map(c -> "complete:" + c.label())
                            .reduce("", String::concat).equals(expectedEnd), id + ": " + got);
                    check(got.stream().allMatch(c -> c.requestId().equals(id)), "ids crossed: " + got);
                }
            }
            rig.awaitInUse(false);
        }

        private void geolocationOffAtTheAgentIsDisabled() throws Exception {
            rig.agentLevel(0);
            try {
                JniNativeLocationBackend backend = new JniNativeLocationBackend();
                backend.nativeStart("agent-off", 10_000);
                await(backend, completed(), "disabled");
                check(labels(backend.callbacks()).equals("complete:disabled"), "got " + backend.callbacks());
            } finally {
                rig.agentLevel(8);
            }
        }

        private void geolocationSwitchedOffWhileRunningIsDisabled() throws Exception {
            JniNativeLocationBackend backend = running("switched-off", 10_000);
            feed(1.5, Instant.now());
            await(backend, candidates(1), "a candidate");
            rig.agentLevel(0);
            try {
                await(backend, completed(), "disabled");
                check(labels(backend.callbacks()).equals("candidate:" + backend.candidates().get(0).label()
                        + ",complete:disabled"), "got " + backend.callbacks());
            } finally {
                rig.agentLevel(8);
            }
            rig.awaitInUse(false);
        }

        private void noAgentTimesOutAndCancelStillWorks() throws Exception {
            rig.stopAgent();
            // With no agent for the user the daemon never answers; the
            // library must not wait on it.
            JniNativeLocationBackend waiting = new JniNativeLocationBackend();
            JniNativeLocationBackend cancelled = new JniNativeLocationBackend();
            waiting.nativeStart("no-agent", 500);
            cancelled.nativeStart("no-agent-cancelled", 10_000);
            await(waiting, completed(), "timeout");
            cancelled.nativeCancel("no-agent-cancelled");
            fence(100);
            check(labels(waiting.callbacks()).equals("complete:timeout"), "waiting: " + waiting.callbacks());
            check(cancelled.callbacks().isEmpty(), "cancelled: " + cancelled.callbacks());
            rig.startAgent(8);
        }

        private void daemonKilledDuringARequestIsUnavailable() throws Exception {
            JniNativeLocationBackend backend = running("killed", 10_000);
            feed(1.5, Instant.now());
            await(backend, candidates(1), "a candidate");
            rig.killDaemon();
            await(backend, completed(), "unavailable");
            check(labels(backend.callbacks()).endsWith(",complete:unavailable") && backend.completions().size() == 1,
                    "got " + backend.callbacks());
        }

        private void noServiceOnTheBusIsDisabled() throws Exception {
            JniNativeLocationBackend backend = new JniNativeLocationBackend();
            backend.nativeStart("no-service", 10_000);
            await(backend, completed(), "disabled");
            check(labels(backend.callbacks()).equals("complete:disabled"), "got " + backend.callbacks());
        }

        private void noBusIsDisabled() throws Exception {
            rig.killBus();
            JniNativeLocationBackend backend = new JniNativeLocationBackend();
            backend.nativeStart("no-bus", 10_000);
            await(backend, completed(), "disabled");
            check(labels(backend.callbacks()).equals("complete:disabled"), "got " + backend.callbacks());
        }

        private void everyCallbackOnTheLibrarysThread() {
            var seen = JniNativeLocationBackend.CALLBACK_THREADS;
            check(seen.size() == 1 && seen.iterator().next().getName().equals("tavirel-location-main"),
                    "callbacks arrived on " + seen);
        }
    }
}
