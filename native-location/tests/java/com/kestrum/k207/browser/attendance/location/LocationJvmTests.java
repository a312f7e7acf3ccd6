package com.kestrum.k207.browser.attendance.location;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.ref.WeakReference;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

import com.kestrum.k207.browser.attendance.location.JniNativeLocationBackend.Callback;
import static com.kestrum.k207.browser.attendance.location.JvmChecks.*;

/**
 * The location library in a real JVM.
 *
 * Run without arguments, this is the harness: it starts one child JVM per
 * suite (with the same JVM options, so -Xcheck:jni carries over), each with
 * the environment that suite needs, and judges the child's exit status and
 * output. The simulation scenario is chosen by an environment variable read
 * by the library, which a running JVM cannot change, hence the children.
 *
 * Every wait has a deadline; nothing sleeps for a fixed time. To show that
 * nothing more arrives for a request, a suite runs a "fence": a request that
 * ends by its own timeout. The library runs everything on one serial thread
 * and runs timed work by due time, so once the fence's timeout has been
 * reported, every task posted or due before it has run.
 */
public final class LocationJvmTests {
    private static final String SIMULATION_VARIABLE = "TAVIREL_LOCATION_SIMULATION";
    private static final long CHILD_SECONDS = 120;

    private LocationJvmTests() {
    }

    public static void main(String[] args) throws Exception {
        String mode = args.length == 0 ? "harness" : args[0];
        int status = switch (mode) {
            case "harness" -> runHarness();
            case "simulated" -> new SimulatedSuite().run();
            case "servicesOff" -> runServicesOff();
            case "invalidScenario" -> runInvalidScenario();
            case "throwingCallbacks" -> runThrowingCallbacks();
            case "exitWhileRunning" -> runExitWhileRunning();
            default -> {
                System.err.println("unknown mode " + mode);
                yield 2;
            }
        };
        // exitWhileRunning must end by returning from main: that is the exit
        // a non-daemon native thread would block.
        if (!mode.equals("exitWhileRunning") || status != 0) {
            System.exit(status);
        }
    }

    // ---------------------------------------------------------------- harness

    private record ChildResult(int status, String out, String err) {
    }

    private static int runHarness() throws Exception {
        Path dir = Files.createTempDirectory("tavirel-location-jvm-tests");
        List<String> failures = new ArrayList<>();
        try {
            Path scenario = dir.resolve("scenario.json");
            Files.writeString(scenario, "{}");
            Path broken = dir.resolve("broken.json");
            Files.writeString(broken, "{\"events\": [ this is not JSON");

            ChildResult simulated = runChild(dir, "simulated", Map.of(SIMULATION_VARIABLE, scenario.toString()));
            expect(failures, "simulated", simulated.status() == 0, "suite failed, exit " + simulated.status());
            expect(failures, "simulated", diagnosticLines(simulated.err()).isEmpty(),
                    "unexpected library diagnostics: " + diagnosticLines(simulated.err()));

            // Without a simulation the library asks GeoClue2 on the system
            // bus; with no bus at the address, services count as off.
            ChildResult off = runChild(dir, "servicesOff",
                    Map.of("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.resolve("no-bus")));
            expect(failures, "servicesOff", off.status() == 0, "suite failed, exit " + off.status());

            ChildResult invalid = runChild(dir, "invalidScenario", Map.of(SIMULATION_VARIABLE, broken.toString()));
            expect(failures, "invalidScenario", invalid.status() == 0, "suite failed, exit " + invalid.status());
            List<String> invalidLines = diagnosticLines(invalid.err());
            expect(failures, "invalidScenario", invalidLines.size() == 2
                            && invalidLines.stream().allMatch(l -> l.contains(broken.toString()) && l.contains("invalid")),
                    "expected one line per request naming the file, got " + invalidLines);

            Path throwingScenario = dir.resolve("throwing.json");
            Files.writeString(throwingScenario, """
                    {"authorizationStatus": 3, "events": [
                      {"atMs": 10, "locations": [{"latitude": 1, "longitude": 1, "accuracy": 1},
                                                 {"latitude": 2, "longitude": 2, "accuracy": 1}]},
                      {"atMs": 40, "error": 0}]}""");
            ChildResult throwing = runChild(dir, "throwingCallbacks",
                    Map.of(SIMULATION_VARIABLE, throwingScenario.toString()));
            expect(failures, "throwingCallbacks", throwing.status() == 0, "suite failed, exit " + throwing.status());
            List<String> thrown = diagnosticLines(throwing.err());
            long candidateLines = thrown.stream()
                    .filter(l -> l.contains("onNativeCandidate") && l.contains("RuntimeException: candidate boom"))
                    .count();
            long completeLines = thrown.stream()
                    .filter(l -> l.contains("onNativeComplete") && l.contains("IllegalStateException: complete boom"))
                    .count();
            expect(failures, "throwingCallbacks", thrown.size() == 3 && candidateLines == 2 && completeLines == 1,
                    "expected one line per thrown exception (2 candidate, 1 completion), got " + thrown);

            Path streaming = dir.resolve("streaming.json");
            Files.writeString(streaming, """
                    {"authorizationStatus": 3, "events": [
                      {"atMs": 0, "locations": [{"latitude": 1, "longitude": 1, "accuracy": 1}]},
                      {"atMs": 100000, "error": 0}]}""");
            ChildResult exiting = runChild(dir, "exitWhileRunning", Map.of(SIMULATION_VARIABLE, streaming.toString()));
            expect(failures, "exitWhileRunning", exiting.status() == 0 && exiting.out().contains("main returning"),
                    "JVM did not exit normally with requests still running, exit " + exiting.status());

            if (ManagementFactory.getRuntimeMXBean().getInputArguments().contains("-Xcheck:jni")) {
                for (var entry : Map.of("simulated", simulated, "servicesOff", off, "invalidScenario", invalid,
                        "throwingCallbacks", throwing, "exitWhileRunning", exiting).entrySet()) {
                    String all = entry.getValue().out() + entry.getValue().err();
                    expect(failures, entry.getKey(), !all.contains("WARNING") && !all.contains("FATAL ERROR"),
                            "the JNI checker complained");
                }
            }
        } finally {
            deleteTree(dir);
        }
        for (String failure : failures) {
            System.out.println("FAIL " + failure);
        }
        System.out.println(failures.isEmpty() ? "all suites passed" : failures.size() + " suite check(s) failed");
        return failures.isEmpty() ? 0 : 1;
    }

    private static void expect(List<String> failures, String suite, boolean ok, String message) {
        if (!ok) {
            failures.add(suite + ": " + message);
        }
    }

    private static List<String> diagnosticLines(String stderr) {
        return stderr.lines().filter(l -> l.startsWith("tavirel-location: ")).toList();
    }

    private static ChildResult runChild(Path dir, String mode, Map<String, String> environment) throws Exception {
        List<String> command = new ArrayList<>();
        command.add(ProcessHandle.current().info().command().orElse("java"));
        command.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.add(LocationJvmTests.class.getName());
        command.add(mode);
        Path out = dir.resolve(mode + ".out");
        Path err = dir.resolve(mode + ".err");
        ProcessBuilder builder = new ProcessBuilder(command).redirectOutput(out.toFile()).redirectError(err.toFile());
        builder.environment().remove(SIMULATION_VARIABLE);
        builder.environment().putAll(environment);
        Process child = builder.start();
        int status;
        if (child.waitFor(CHILD_SECONDS, TimeUnit.SECONDS)) {
            status = child.exitValue();
        } else {
            child.destroyForcibly();
            child.waitFor(10, TimeUnit.SECONDS);
            status = -1;
            System.out.println("[" + mode + "] did not end within " + CHILD_SECONDS + " s; killed");
        }
        String outText = Files.readString(out, StandardCharsets.UTF_8);
        String errText = Files.readString(err, StandardCharsets.UTF_8);
        outText.lines().forEach(l -> System.out.println("[" + mode + "] " + l));
        errText.lines().forEach(l -> System.out.println("[" + mode + " stderr] " + l));
        return new ChildResult(status, outText, errText);
    }

    private static void deleteTree(Path dir) throws IOException {
        try (Stream<Path> paths = Files.walk(dir)) {
            for (Path p : paths.sorted(Comparator.reverseOrder()).toList()) {
                Files.deleteIfExists(p);
            }
        }
    }

    // ------------------------------------------------- services off: no bus

    private static int runServicesOff() throws InterruptedException {
        List<JniNativeLocationBackend> backends = new ArrayList<>();
        for (int i = 0; i < 3; i++) {
            JniNativeLocationBackend backend = new JniNativeLocationBackend();
            backend.nativeStart("off-" + i, 200);
            backends.add(backend);
        }
        for (JniNativeLocationBackend backend : backends) {
            await(backend, completed(), "disabled");
        }
        // No fence can be used here (every request sees the same missing
        // bus): a second callback, if there were one, would come with the
        // 200 ms timeout, so wait a little past it for one that must not come.
        long until = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(400);
        for (JniNativeLocationBackend backend : backends) {
            if (backend.awaitUntil(list -> list.size() > 1, until)) {
                break;
            }
        }
        int failures = 0;
        for (JniNativeLocationBackend backend : backends) {
            if (!labels(backend.callbacks()).equals("complete:disabled")) {
                System.out.println("FAIL servicesOff: " + backend.callbacks());
                failures++;
            }
        }
        System.out.println(failures == 0 ? "ok servicesOff" : "FAIL servicesOff");
        return failures == 0 ? 0 : 1;
    }

    // ------------------------------------------------------ invalid scenario

    private static int runInvalidScenario() throws InterruptedException {
        JniNativeLocationBackend first = new JniNativeLocationBackend();
        JniNativeLocationBackend second = new JniNativeLocationBackend();
        first.nativeStart("bad-1", 10_000);
        second.nativeStart("bad-2", 10_000);
        await(first, completed(), "disabled");
        await(second, completed(), "disabled");
        boolean ok = labels(first.callbacks()).equals("complete:disabled")
                && labels(second.callbacks()).equals("complete:disabled");
        System.out.println(ok ? "ok invalidScenario" : "FAIL invalidScenario: " + first.callbacks() + second.callbacks());
        return ok ? 0 : 1;
    }

    // ----------------------------------------------------- throwing callbacks

    /** Throws from every callback, after recording it. */
    static final class ThrowingBackend extends JniNativeLocationBackend {
        @Override
        public void onNativeCandidate(String requestId, String source, double latitude, double longitude,
                                      double accuracy, long observedAtMillis) {
            super.onNativeCandidate(requestId, source, latitude, longitude, accuracy, observedAtMillis);
            throw new RuntimeException("candidate boom");
        }

        @Override
        public void onNativeComplete(String requestId, String code) {
            super.onNativeComplete(requestId, code);
            throw new IllegalStateException("complete boom");
        }
    }

    private static int runThrowingCallbacks() throws InterruptedException {
        ThrowingBackend throwing = new ThrowingBackend();
        throwing.nativeStart("throws", 10_000);
        await(throwing, completed(), "the completion after throwing candidates");
        // The library goes on normally afterwards, on the same thread.
        JniNativeLocationBackend after = new JniNativeLocationBackend();
        after.nativeStart("after", 10_000);
        await(after, completed(), "a request after the throwing one");
        boolean ok = labels(throwing.callbacks()).equals("candidate:fresh,candidate:fresh,complete:unavailable")
                && labels(after.callbacks()).equals("candidate:fresh,candidate:fresh,complete:unavailable")
                && JniNativeLocationBackend.CALLBACK_THREADS.size() == 1;
        System.out.println(ok ? "ok throwingCallbacks"
                : "FAIL throwingCallbacks: " + throwing.callbacks() + " / " + after.callbacks());
        return ok ? 0 : 1;
    }

    // ------------------------------------------------ exit with work running

    private static int runExitWhileRunning() throws InterruptedException {
        List<JniNativeLocationBackend> running = new ArrayList<>();
        for (int i = 0; i < 5; i++) {
            JniNativeLocationBackend backend = new JniNativeLocationBackend();
            backend.nativeStart("running-" + i, Long.MAX_VALUE);
            running.add(backend);
        }
        // The library's main thread is attached once a candidate has arrived.
        await(running.get(0), candidates(1), "a first candidate");
        new JniNativeLocationBackend().nativeStart("just-posted", Long.MAX_VALUE);
        System.out.println("main returning");
        return 0;
    }

    // --------------------------------------------------------- simulated suite

    /** Cases run in one JVM against a scenario file rewritten for each case. */
    static final class SimulatedSuite {
        private final Path scenario = Path.of(System.getenv(SIMULATION_VARIABLE));
        private final List<WeakReference<JniNativeLocationBackend>> everyBackend = new ArrayList<>();
        private final Set<Thread> starterThreads = new HashSet<>();

        private interface Case {
            void run() throws Exception;
        }

        int run() throws Exception {
            Map<String, Case> cases = new java.util.LinkedHashMap<>();
            cases.put("servicesOffInScenario", this::servicesOffInScenario);
            cases.put("refusedPermissionIsDenied", this::refusedPermissionIsDenied);
            cases.put("undecidedPermissionTimesOut", this::undecidedPermissionTimesOut);
            cases.put("permissionGrantedLaterStreamsCandidates", this::permissionGrantedLaterStreamsCandidates);
            cases.put("threePositionsInOneUpdate", this::threePositionsInOneUpdate);
            cases.put("locationErrors", this::locationErrors);
            cases.put("cancelStopsEverything", this::cancelStopsEverything);
            cases.put("cancelOfUnknownOrEndedId", this::cancelOfUnknownOrEndedId);
            cases.put("twoStartsWithOneId", this::twoStartsWithOneId);
            cases.put("hugeAndNegativeTimeouts", this::hugeAndNegativeTimeouts);
            cases.put("nullAndUnusualIds", this::nullAndUnusualIds);
            cases.put("concurrentRequestsFromManyThreads", this::concurrentRequestsFromManyThreads);
            cases.put("tenThousandRequestsAddNoThread", this::tenThousandRequestsAddNoThread);
            // These two look back over everything above, so they come last.
            cases.put("everyCallbackOnOneDaemonThread", this::everyCallbackOnOneDaemonThread);
            cases.put("noBackendStaysReferenced", this::noBackendStaysReferenced);

            int failures = 0;
            starterThreads.add(Thread.currentThread());
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
            System.out.println(failures == 0 ? "simulated suite passed" : failures + " case(s) failed");
            return failures == 0 ? 0 : 1;
        }

        private JniNativeLocationBackend backend() {
            JniNativeLocationBackend backend = new JniNativeLocationBackend();
            synchronized (everyBackend) {
                everyBackend.add(new WeakReference<>(backend));
            }
            return backend;
        }

        /** Replaces the scenario atomically: the library may be reading it. */
        private void scenario(String json) throws IOException {
            Path temp = scenario.resolveSibling("scenario.json.tmp");
            Files.writeString(temp, json);
            Files.move(temp, scenario, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
        }

        /**
         * Runs a request that ends by its own timeout of {@code millis}. When
         * it reports, everything posted before it and every timer due before
         * it has run. The "fence" entry makes it independent of the case's
         * scenario, which must therefore list it.
         */
        private void fence(long millis) throws InterruptedException {
            JniNativeLocationBackend fence = backend();
            fence.nativeStart("fence", millis);
            await(fence, completed(), "the fence");
            check(labels(fence.callbacks()).equals("complete:timeout"), "fence: " + fence.callbacks());
        }

        private static final String FENCE = "\"fence\": {}";

        private void servicesOffInScenario() throws Exception {
            scenario("{\"servicesEnabled\": false, \"requests\": {" + FENCE + "}}");
            JniNativeLocationBackend backend = backend();
            backend.nativeStart("off", 100);
            await(backend, completed(), "disabled");
            fence(300);
            check(labels(backend.callbacks()).equals("complete:disabled"), "got " + backend.callbacks());
        }

        private void refusedPermissionIsDenied() throws Exception {
            scenario("{\"requests\": {\"restricted\": {\"authorizationStatus\": 1},"
                    + " \"denied\": {\"authorizationStatus\": 2}, " + FENCE + "}}");
            JniNativeLocationBackend restricted = backend();
            JniNativeLocationBackend denied = backend();
            restricted.nativeStart("restricted", 100);
            denied.nativeStart("denied", 100);
            await(denied, completed(), "denied");
            fence(300); // the timeouts armed after "denied" have run by now, silently
            check(labels(restricted.callbacks()).equals("complete:denied"), "restricted: " + restricted.callbacks());
            check(labels(denied.callbacks()).equals("complete:denied"), "denied: " + denied.callbacks());
        }

        private void undecidedPermissionTimesOut() throws Exception {
            scenario("{\"authorizationStatus\": 0, \"requests\": {\"when-in-use\": {\"authorizationStatus\": 4,"
                    + " \"events\": [{\"atMs\": 20, \"authorizationStatus\": 4}]}, " + FENCE + "}}");
            JniNativeLocationBackend undecided = backend();
            JniNativeLocationBackend whenInUse = backend();
            long before = System.nanoTime();
            undecided.nativeStart("undecided", 150);
            whenInUse.nativeStart("when-in-use", 150);
            await(undecided, completed(), "timeout");
            long waitedMillis = TimeUnit.NANOSECONDS.toMillis(undecided.completions().get(0).arrivedNanos() - before);
            await(whenInUse, completed(), "timeout");
            check(labels(undecided.callbacks()).equals("complete:timeout"), "undecided: " + undecided.callbacks());
            check(labels(whenInUse.callbacks()).equals("complete:timeout"), "when in use: " + whenInUse.callbacks());
            check(waitedMillis >= 150, "timed out after only " + waitedMillis + " ms");
        }

        private void permissionGrantedLaterStreamsCandidates() throws Exception {
            scenario("""
                    {"authorizationStatus": 0, "events": [
                      {"atMs": 10, "locations": [{"latitude": 9, "longitude": 9, "accuracy": 9}]},
                      {"atMs": 50, "authorizationStatus": 3},
                      {"atMs": 80, "locations": [{"latitude": 48.5, "longitude": -2.25, "accuracy": 12.5}]},
                      {"atMs": 120, "locations": [{"latitude": 48.75, "longitude": -2.5, "accuracy": 7}]}],
                     "requests": {"fence": {}}}""");
            JniNativeLocationBackend backend = backend();
            long startedAt = System.currentTimeMillis();
            backend.nativeStart("granted-later", 10_000);
            await(backend, candidates(2), "two candidates");
            backend.nativeCancel("granted-later");
            fence(0);
            List<Callback> got = backend.callbacks();
            check(labels(got).equals("candidate:fresh,candidate:fresh"), "got " + got);
            Callback first = got.get(0);
            check(first.requestId().equals("granted-later"), "id " + first.requestId());
            check(first.latitude() == 48.5 && first.longitude() == -2.25 && first.accuracy() == 12.5,
                    "values " + first);
            check(first.observedAtMillis() >= startedAt && first.observedAtMillis() <= System.currentTimeMillis(),
                    "observed at " + first.observedAtMillis());
            check(got.get(1).latitude() == 48.75, "second " + got.get(1));
        }

        private void threePositionsInOneUpdate() throws Exception {
            long future = System.currentTimeMillis() + 60_000;
            scenario("""
                    {"authorizationStatus": 3, "events": [
                      {"atMs": 10, "locations": [
                        {"latitude": 1, "longitude": 10, "accuracy": -1, "ageMs": 3600000},
                        {"latitude": 2, "longitude": 20, "accuracy": 1e308, "ageMs": 0},
                        {"latitude": 3, "longitude": 30, "accuracy": 5, "timestampMs": %d}]},
                      {"atMs": 30, "error": 0}],
                     "requests": {"fence": {}}}""".formatted(future));
            JniNativeLocationBackend backend = backend();
            long startedAt = System.currentTimeMillis();
            backend.nativeStart("three", 10_000);
            await(backend, completed(), "the error");
            List<Callback> got = backend.callbacks();
            check(labels(got).equals("candidate:cached,candidate:fresh,candidate:fresh,complete:unavailable"),
                    "got " + got);
            check(got.get(0).latitude() == 1 && got.get(1).latitude() == 2 && got.get(2).latitude() == 3,
                    "order " + got);
            long hourAgo = got.get(0).observedAtMillis();
            check(hourAgo <= startedAt - 3_600_000 + 10_000 && hourAgo >= startedAt - 3_600_000 - 10_000,
                    "an hour old: " + hourAgo + " vs start " + startedAt);
            check(got.get(0).accuracy() == -1 && got.get(1).accuracy() == 1e308, "accuracies unchanged: " + got);
            check(got.get(2).observedAtMillis() == future, "absolute stamp " + got.get(2).observedAtMillis());
        }

        private void locationErrors() throws Exception {
            scenario("""
                    {"authorizationStatus": 3, "requests": {
                      "error-0": {"authorizationStatus": 3, "events": [{"atMs": 10, "error": 0}]},
                      "error-1": {"authorizationStatus": 3, "events": [{"atMs": 10, "error": 1}]},
                      "error-1-off": {"authorizationStatus": 3, "events": [
                        {"atMs": 5, "servicesEnabled": false}, {"atMs": 10, "error": 1}]},
                      "error-7": {"authorizationStatus": 0, "events": [{"atMs": 10, "error": 7}]},
                      "fence": {}}}""");
            Map<String, String> expected = Map.of("error-0", "unavailable", "error-1", "denied",
                    "error-1-off", "disabled", "error-7", "unavailable");
            Map<String, JniNativeLocationBackend> backends = new java.util.TreeMap<>();
            for (String id : expected.keySet()) {
                backends.put(id, backend());
                backends.get(id).nativeStart(id, 10_000);
            }
            for (var entry : backends.entrySet()) {
                await(entry.getValue(), completed(), entry.getKey());
                check(labels(entry.getValue().callbacks()).equals("complete:" + expected.get(entry.getKey())),
                        entry.getKey() + ": " + entry.getValue().callbacks());
            }
        }

        private void cancelStopsEverything() throws Exception {
            StringBuilder events = new StringBuilder();
            for (int at = 10; at <= 200; at += 10) {
                events.append(at == 10 ? "" : ",").append("{\"atMs\": ").append(at)
                        .append(", \"locations\": [{\"latitude\": 1, \"longitude\": 1, \"accuracy\": 1}]}");
            }
            scenario("{\"authorizationStatus\": 3, \"events\": [" + events + "], \"requests\": {"
                    + "\"immediate\": {}, " + FENCE + "}}");

            // Cancel straight after start from the same thread: the start task
            // runs first, then the cancel. Never authorized, so the timeout is
            // the only callback it could get.
            JniNativeLocationBackend immediate = backend();
            immediate.nativeStart("immediate", 2_000);
            immediate.nativeCancel("immediate");

            // Timeouts are generous so that a stalled test thread cannot let
            // one fire before the cancel; the last fence is due after them.
            JniNativeLocationBackend streaming = backend();
            streaming.nativeStart("streaming", 2_000);
            await(streaming, candidates(2), "candidates");
            streaming.nativeCancel("streaming");
            fence(0); // the cancel has run
            int afterCancel = streaming.callbacks().size();
            fence(2_200); // past every event and both timeouts
            check(streaming.completions().isEmpty(), "cancelled request completed: " + streaming.callbacks());
            check(streaming.callbacks().size() == afterCancel, "callbacks after the cancel: " + streaming.callbacks());
            check(immediate.callbacks().isEmpty(), "immediately cancelled: " + immediate.callbacks());
        }

        private void cancelOfUnknownOrEndedId() throws Exception {
            scenario("{\"servicesEnabled\": false, \"requests\": {" + FENCE + "}}");
            JniNativeLocationBackend ended = backend();
            ended.nativeStart("ended", 100);
            await(ended, completed(), "disabled");
            ended.nativeCancel("ended");
            ended.nativeCancel("ended");
            ended.nativeCancel("never-started");
            fence(200);
            check(labels(ended.callbacks()).equals("complete:disabled"), "got " + ended.callbacks());
        }

        private void twoStartsWithOneId() throws Exception {
            scenario("""
                    {"authorizationStatus": 3, "events": [
                      {"atMs": 20, "locations": [{"latitude": 5, "longitude": 5, "accuracy": 5}]}],
                     "requests": {"fence": {}}}""");
            JniNativeLocationBackend first = backend();
            JniNativeLocationBackend second = backend();
            first.nativeStart("shared-id", 150);
            second.nativeStart("shared-id", 3_000); // ample time for the cancel below to come first
            await(first, completed(), "the first request's own timeout");
            // The first request's end must not have taken the second out of
            // the registry: this cancel has to reach it.
            second.nativeCancel("shared-id");
            fence(3_200);
            check(labels(first.callbacks()).equals("candidate:fresh,complete:timeout"), "first: " + first.callbacks());
            check(labels(second.callbacks()).equals("candidate:fresh"), "second: " + second.callbacks());
        }

        private void hugeAndNegativeTimeouts() throws Exception {
            scenario("{\"authorizationStatus\": 0, \"requests\": {" + FENCE + "}}");
            // 9_223_372_036_854 ms is the largest that fits in 64-bit nanoseconds.
            Map<String, Long> never = Map.of("max", Long.MAX_VALUE, "first-overflowing", 9_223_372_036_855L,
                    "largest-exact", 9_223_372_036_854L, "a-thousand-years", 31_536_000_000_000L);
            Map<String, Long> atOnce = Map.of("zero", 0L, "negative", -1L, "min", Long.MIN_VALUE);
            Map<String, JniNativeLocationBackend> backends = new java.util.HashMap<>();
            for (var entry : never.entrySet()) {
                backends.put(entry.getKey(), backend());
                backends.get(entry.getKey()).nativeStart(entry.getKey(), entry.getValue());
            }
            for (var entry : atOnce.entrySet()) {
                backends.put(entry.getKey(), backend());
                backends.get(entry.getKey()).nativeStart(entry.getKey(), entry.getValue());
            }
            fence(300);
            for (String id : atOnce.keySet()) {
                check(labels(backends.get(id).callbacks()).equals("complete:timeout"),
                        id + ": " + backends.get(id).callbacks());
            }
            for (String id : never.keySet()) {
                check(backends.get(id).callbacks().isEmpty(), id + " timed out: " + backends.get(id).callbacks());
                backends.get(id).nativeCancel(id);
            }
            fence(0);
        }

        private void nullAndUnusualIds() throws Exception {
            scenario("{\"authorizationStatus\": 0, \"requests\": {" + FENCE + "}}");
            JniNativeLocationBackend nulls = backend();
            nulls.nativeStart(null, 0);
            nulls.nativeCancel(null);

            // Ids that differ only after U+0000, and one outside the BMP.
            String withNulA = "nul\u0000a";
            String withNulB = "nul\u0000b";
            String astral = "astral-\uD83D\uDE00-\u00e9";
            JniNativeLocationBackend a = backend();
            JniNativeLocationBackend b = backend();
            JniNativeLocationBackend c = backend();
            a.nativeStart(withNulA, 10_000); // must be cancelled: noBackendStaysReferenced checks
            b.nativeStart(withNulB, 200);
            c.nativeStart(astral, 200);
            a.nativeCancel(withNulA);
            fence(400);
            check(a.callbacks().isEmpty(), "cancelled id with NUL: " + a.callbacks());
            check(b.completions().size() == 1 && b.completions().get(0).requestId().equals(withNulB),
                    "id with NUL: " + b.callbacks());
            check(c.completions().size() == 1 && c.completions().get(0).requestId().equals(astral),
                    "astral id: " + c.callbacks());
            check(nulls.callbacks().isEmpty(), "null id: " + nulls.callbacks());
        }

        private void concurrentRequestsFromManyThreads() throws Exception {
            scenario("""
                    {"authorizationStatus": 3, "events": [
                      {"atMs": 5, "locations": [{"latitude": 1, "longitude": 2, "accuracy": 3}]},
                      {"atMs": 40, "error": 0}],
                     "requests": {"fence": {}}}""");
            int threads = 8;
            int perThread = 25;
            JniNativeLocationBackend[][] backends = new JniNativeLocationBackend[threads][perThread];
            for (int t = 0; t < threads; t++) {
                for (int i = 0; i < perThread; i++) {
                    backends[t][i] = backend();
                }
            }
            starterThreads.addAll(startAtOnce(backends, 10_000));
            long until = deadline(CASE_SECONDS);
            for (int t = 0; t < threads; t++) {
                for (int i = 0; i < perThread; i++) {
                    JniNativeLocationBackend backend = backends[t][i];
                    check(backend.awaitUntil(completed(), until), "many-" + t + "-" + i + " never completed");
                }
            }
            fence(100);
            for (int t = 0; t < threads; t++) {
                for (int i = 0; i < perThread; i++) {
                    String id = "many-" + t + "-" + i;
                    List<Callback> got = backends[t][i].callbacks();
                    check(labels(got).equals("candidate:fresh,complete:unavailable"), id + ": " + got);
                    check(got.stream().allMatch(c -> c.requestId().equals(id)), "ids crossed: " + got);
                }
            }
        }

        /**
         * A long run of short requests: each completes once, and afterwards
         * the JVM has no thread it did not have before, except the library's
         * one main thread. The last case checks that none of these backends
         * stays referenced.
         */
        private void tenThousandRequestsAddNoThread() throws Exception {
            scenario("""
                    {"authorizationStatus": 3, "events": [
                      {"atMs": 0, "locations": [{"latitude": 1, "longitude": 2, "accuracy": 3}]},
                      {"atMs": 1, "error": 1}],
                     "requests": {"fence": {}}}""");
            Set<Thread> before = Thread.getAllStackTraces().keySet();
            int threads = 4;
            int perThread = 2_500;
            List<List<JniNativeLocationBackend>> started = new ArrayList<>();
            List<Thread> starters = new ArrayList<>();
            for (int t = 0; t < threads; t++) {
                int thread = t;
                List<JniNativeLocationBackend> mine = new ArrayList<>();
                started.add(mine);
                for (int i = 0; i < perThread; i++) {
                    mine.add(backend());
                }
                Thread starter = new Thread(() -> {
                    for (int i = 0; i < perThread; i++) {
                        mine.get(i).nativeStart("bulk-" + thread + "-" + i, 1_000);
                    }
                }, "bulk-starter-" + t);
                starters.add(starter);
                starterThreads.add(starter);
                starter.start();
            }
            for (Thread starter : starters) {
                starter.join(TimeUnit.SECONDS.toMillis(CASE_SECONDS));
                check(!starter.isAlive(), "starter thread stuck");
            }
            long until = deadline(CASE_SECONDS * 4);
            for (List<JniNativeLocationBackend> mine : started) {
                for (JniNativeLocationBackend backend : mine) {
                    check(backend.awaitUntil(completed(), until), "a bulk request never completed");
                    check(labels(backend.callbacks()).equals("candidate:fresh,complete:denied"),
                            "bulk: " + backend.callbacks());
                }
            }
            started.clear();
            Set<String> added = new java.util.TreeSet<>();
            for (Thread thread : Thread.getAllStackTraces().keySet()) {
                if (!before.contains(thread) && thread.isAlive()) {
                    added.add(thread.getName());
                }
            }
            added.remove("tavirel-location-main");
            check(added.isEmpty(), "threads left after 10,000 requests: " + added);
        }

        private void everyCallbackOnOneDaemonThread() {
            Set<Thread> seen = JniNativeLocationBackend.CALLBACK_THREADS;
            check(seen.size() == 1, "callbacks arrived on " + seen);
            Thread main = seen.iterator().next();
            check(main.isDaemon(), "the library's thread is not a daemon: " + main);
            check(!starterThreads.contains(main), "a callback ran on a calling thread: " + main);
            check(main.getName().equals("tavirel-location-main"), "thread name " + main.getName());
        }

        private void noBackendStaysReferenced() throws Exception {
            fence(0);
            long until = deadline(CASE_SECONDS);
            List<WeakReference<JniNativeLocationBackend>> refs;
            synchronized (everyBackend) {
                refs = new ArrayList<>(everyBackend);
            }
            check(refs.size() > 200, "too few backends tracked: " + refs.size());
            long alive = refs.size();
            while (System.nanoTime() < until) {
                System.gc();
                alive = refs.stream().filter(r -> r.get() != null).count();
                if (alive == 0) {
                    break;
                }
                Thread.sleep(20); // poll: a collection may take more than one request
            }
            check(alive == 0, alive + " backends still referenced after every request ended");
        }
    }
}
