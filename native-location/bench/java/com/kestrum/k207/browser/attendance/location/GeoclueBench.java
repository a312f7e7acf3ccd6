package com.kestrum.k207.browser.attendance.location;

import java.nio.file.Path;
import java.time.Instant;
import java.util.Arrays;
import java.util.concurrent.TimeUnit;

import com.kestrum.k207.browser.attendance.location.JniNativeLocationBackend.Callback;

/**
 * The GeoClue2 figures, against a real daemon on a private bus (GeoclueRig):
 * how long a fix written into the daemon's NMEA socket takes to reach
 * onNativeCandidate, and how long a new request takes from nativeStart to
 * its first candidate when the daemon already knows a fix. A measurement,
 * not a test: it judges nothing.
 *
 * Needs root, DBUS_SYSTEM_BUS_ADDRESS and TAVIREL_TEST_RIG_DIR naming the
 * rig (run.sh sets them), and -Dtavirel.geoclue.agent.
 */
public final class GeoclueBench {
    private static final long WAIT_SECONDS = 30;

    private GeoclueBench() {
    }

    public static void main(String[] args) throws Exception {
        int fixes = args.length > 0 ? Integer.parseInt(args[0]) : 200;
        int starts = args.length > 1 ? Integer.parseInt(args[1]) : 50;
        try (GeoclueRig rig = new GeoclueRig(Path.of(System.getenv("TAVIREL_TEST_RIG_DIR")))) {
            rig.startAgent(8);
            // One request runs throughout, so the daemon's NMEA source stays
            // up and the daemon keeps its latest fix.
            JniNativeLocationBackend keeper = new JniNativeLocationBackend();
            keeper.nativeStart("keeper", TimeUnit.MINUTES.toMillis(10));
            rig.awaitInUse(true);
            rig.feeder().awaitConnection();

            double latitude = 48.0;
            double[] fixMillis = new double[fixes];
            for (int i = -10; i < fixes; i++) { // the first ten warm up
                int before = keeper.candidates().size();
                latitude += 0.01;
                long written = System.nanoTime();
                rig.feeder().feed(latitude, 11.5, 1.5, Instant.now());
                if (!keeper.awaitUntil(l -> l.stream().filter(Callback::isCandidate).count() > before,
                        System.nanoTime() + TimeUnit.SECONDS.toNanos(WAIT_SECONDS))) {
                    throw new IllegalStateException("fix " + i + " never reached the JVM");
                }
                if (i >= 0) {
                    fixMillis[i] = (keeper.candidates().get(before).arrivedNanos() - written) / 1e6;
                }
            }
            report("geoclue: NMEA fix -> onNativeCandidate", fixMillis);

            double[] startMillis = new double[starts];
            for (int i = -5; i < starts; i++) {
                JniNativeLocationBackend backend = new JniNativeLocationBackend();
                String id = "start-" + i;
                long started = System.nanoTime();
                backend.nativeStart(id, 10_000);
                if (!backend.awaitUntil(l -> l.stream().anyMatch(Callback::isCandidate),
                        System.nanoTime() + TimeUnit.SECONDS.toNanos(WAIT_SECONDS))) {
                    throw new IllegalStateException(id + " got no candidate: " + backend.callbacks());
                }
                if (i >= 0) {
                    startMillis[i] = (backend.candidates().get(0).arrivedNanos() - started) / 1e6;
                }
                backend.nativeCancel(id);
            }
            report("geoclue: nativeStart -> first candidate, fix known", startMillis);
            keeper.nativeCancel("keeper");
        }
        System.exit(0);
    }

    private static void report(String label, double[] millis) {
        double[] sorted = millis.clone();
        Arrays.sort(sorted);
        System.out.printf("%s: median %.3f ms, p99 %.3f ms (n=%d)%n", label, sorted[sorted.length / 2],
                sorted[(int) Math.min(sorted.length - 1, Math.ceil(sorted.length * 0.99) - 1)], sorted.length);
    }
}
