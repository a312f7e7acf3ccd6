package com.kestrum.k207.browser.attendance.location;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.Writer;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.ByteBuffer;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.time.Instant;
import java.time.ZoneOffset;
import java.time.ZonedDateTime;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * A real GeoClue2 daemon for one test JVM, as a desktop would run it but
 * private to the test: its own system-like bus (dbus-daemon with the
 * GeoClue2 policy files), the daemon in its own mount and network namespace
 * (loopback only, since its GeoIP source would otherwise go online) with
 * the test's geoclue.conf mounted over the system one, running as the
 * {@code geoclue} user, positions fed through its NMEA socket, and the
 * user's agent played by {@code tavirel_geoclue_test_agent}.
 *
 * Everything lives under one directory and is stopped by PID in reverse
 * order by {@link #close()}, also from a shutdown hook; every wait has a
 * deadline. The library finds the bus through DBUS_SYSTEM_BUS_ADDRESS,
 * which the harness sets to {@link #busAddress(Path)} for the test JVM.
 */
final class GeoclueRig implements AutoCloseable {
    static final String AGENT_ID = "tavirel-test-agent";
    static final String ALLOWED_APP = "tavirel-allowed";
    static final String DENIED_APP = "tavirel-denied";
    private static final long WAIT_SECONDS = 15;

    private final Path dir;
    private final List<Process> processes = new CopyOnWriteArrayList<>();
    private final NmeaFeeder feeder;
    private final Thread cleanup = new Thread(this::stopAll, "geoclue-rig-cleanup");
    private Process bus;
    private Process daemon;
    private Process agent;
    private Writer agentInput;
    private BlockingQueue<String> agentLines;

    static String busAddress(Path dir) {
        return "unix:path=" + dir.resolve("bus");
    }

    /** Whether this machine can run the rig at all (root, the daemon installed). */
    static String missingPrerequisite() {
        if (!"root".equals(System.getProperty("user.name"))) {
            return "needs root (namespaces, running the daemon as its own user)";
        }
        for (String program : List.of("/usr/libexec/geoclue", "/usr/bin/dbus-daemon", "/usr/bin/unshare",
                "/usr/bin/setpriv")) {
            if (!Files.isExecutable(Path.of(program))) {
                return program + " is missing (scripts/install-deps.sh installs it)";
            }
        }
        return null;
    }

    /** Bus, NMEA socket and daemon; the agent separately. */
    GeoclueRig(Path dir) throws Exception {
        this.dir = dir;
        Runtime.getRuntime().addShutdownHook(cleanup);
        // The daemon runs as another user: it must reach both sockets.
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwxr-xr-x"));
        writeConfiguration();
        feeder = new NmeaFeeder(dir.resolve("nmea"));
        startBus();
        startDaemon();
    }

    private void writeConfiguration() throws IOException {
        Files.writeString(dir.resolve("bus.conf"), """
                <!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
                 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
                <busconfig>
                  <type>system</type>
                  <listen>%s</listen>
                  <auth>EXTERNAL</auth>
                  <policy context="default">
                    <allow user="*"/>
                    <deny own="*"/>
                    <deny send_type="method_call"/>
                    <allow send_type="signal"/>
                    <allow send_requested_reply="true" send_type="method_return"/>
                    <allow send_requested_reply="true" send_type="error"/>
                    <allow receive_type="method_call"/>
                    <allow receive_type="method_return"/>
                    <allow receive_type="error"/>
                    <allow receive_type="signal"/>
                    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
                    <allow send_destination="org.freedesktop.DBus"
                           send_interface="org.freedesktop.DBus.Introspectable"/>
                    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
                  </policy>
                  <include>/etc/dbus-1/system.d/org.freedesktop.GeoClue2.conf</include>
                  <include>/etc/dbus-1/system.d/org.freedesktop.GeoClue2.Agent.conf</include>
                </busconfig>
                """.formatted(busAddress(dir)));
        // Every source but NMEA off; the GeoIP lookup that 2.6 creates
        // anyway points at a dead loopback port.
        Files.writeString(dir.resolve("geoclue.conf"), """
                [agent]
                whitelist=%s
                [network-nmea]
                enable=true
                nmea-socket=%s
                [3g]
                enable=false
                [cdma]
                enable=false
                [modem-gps]
                enable=false
                [wifi]
                enable=false
                url=http://127.0.0.1:9/
                submit-data=false
                [compass]
                enable=false
                [%s]
                allowed=true
                system=false
                users=
                [%s]
                allowed=false
                system=false
                users=
                """.formatted(AGENT_ID, dir.resolve("nmea"), ALLOWED_APP, DENIED_APP));
    }

    private ProcessBuilder builder(String name, String... command) {
        ProcessBuilder builder = new ProcessBuilder(command)
                .redirectOutput(ProcessBuilder.Redirect.appendTo(dir.resolve(name + ".log").toFile()))
                .redirectError(ProcessBuilder.Redirect.appendTo(dir.resolve(name + ".log").toFile()));
        Map<String, String> env = builder.environment();
        // The sanitizer runtime preloaded into the test JVM is not for them.
        env.remove("LD_PRELOAD");
        env.remove("ASAN_OPTIONS");
        env.put("DBUS_SYSTEM_BUS_ADDRESS", busAddress(dir));
        return builder;
    }

    private Process started(ProcessBuilder builder) throws IOException {
        Process process = builder.start();
        processes.add(process);
        return process;
    }

    private void startBus() throws Exception {
        bus = started(builder("dbus", "dbus-daemon", "--config-file=" + dir.resolve("bus.conf"), "--nofork"));
        long until = deadline();
        while (!Files.exists(dir.resolve("bus"))) {
            check(bus.isAlive(), "dbus-daemon exited; see " + dir.resolve("dbus.log"));
            check(System.nanoTime() < until, "dbus-daemon did not listen in time");
            Thread.sleep(5); // poll with a deadline: the socket file appears when it listens
        }
    }

    private void startDaemon() throws IOException {
        // unshare and sh exec in place, so the PID is the daemon's own.
        String script = "mount --bind \"$1\" /etc/geoclue/geoclue.conf && ip link set lo up && "
                + "exec setpriv --reuid=geoclue --regid=geoclue --init-groups /usr/libexec/geoclue --timeout=0";
        daemon = started(builder("geoclue", "unshare", "--mount", "--net", "--propagation", "private", "--",
                "sh", "-c", script, "sh", dir.resolve("geoclue.conf").toString()));
    }

    /** Starts the agent at `level` and waits until the daemon has registered it. */
    void startAgent(int level) throws Exception {
        String program = System.getProperty("tavirel.geoclue.agent");
        check(program != null, "-Dtavirel.geoclue.agent must name the test agent");
        agent = started(builder("agent", program, AGENT_ID, Integer.toString(level))
                .redirectOutput(ProcessBuilder.Redirect.PIPE));
        agentInput = new java.io.OutputStreamWriter(agent.getOutputStream(), StandardCharsets.UTF_8);
        BlockingQueue<String> lines = new LinkedBlockingQueue<>();
        agentLines = lines;
        Process mine = agent;
        Thread reader = new Thread(() -> {
            try (BufferedReader in = new BufferedReader(new InputStreamReader(mine.getInputStream(),
                    StandardCharsets.UTF_8))) {
                for (String line; (line = in.readLine()) != null; ) {
                    lines.add(line);
                }
            } catch (IOException e) {
                lines.add("error " + e);
            }
        }, "geoclue-agent-output");
        reader.setDaemon(true);
        reader.start();
        String first = nextAgentLine();
        check("ready".equals(first), "agent did not register: " + first + "; see " + dir.resolve("geoclue.log"));
    }

    /** Ends the agent; it leaves the bus, as when the user's session ends. */
    void stopAgent() throws Exception {
        agentInput.close();
        check(agent.waitFor(WAIT_SECONDS, TimeUnit.SECONDS), "agent did not exit");
        processes.remove(agent);
        agent = null;
    }

    /** What the user's agent now allows: 0 switches geolocation off. */
    void agentLevel(int level) throws Exception {
        String answer = agentCommand("level " + level);
        check("ok".equals(answer), "agent level: " + answer);
    }

    /** Waits until the daemon's Manager.InUse is `expected`: whether any client is active. */
    void awaitInUse(boolean expected) throws Exception {
        long until = deadline();
        String want = "in-use " + expected;
        String got;
        while (!(got = agentCommand("in-use")).equals(want)) {
            check(System.nanoTime() < until, "daemon never reported " + want + ", last " + got);
            Thread.sleep(10); // poll with a deadline
        }
    }

    private String agentCommand(String command) throws Exception {
        agentInput.write(command + "\n");
        agentInput.flush();
        return nextAgentLine();
    }

    private String nextAgentLine() throws InterruptedException {
        String line = agentLines.poll(WAIT_SECONDS, TimeUnit.SECONDS);
        return line == null ? "(no answer from the agent)" : line;
    }

    NmeaFeeder feeder() {
        return feeder;
    }

    void killDaemon() throws InterruptedException {
        kill(daemon);
        daemon = null;
    }

    void killBus() throws InterruptedException {
        kill(bus);
        bus = null;
    }

    private void kill(Process process) throws InterruptedException {
        process.destroyForcibly();
        check(process.waitFor(WAIT_SECONDS, TimeUnit.SECONDS), "process " + process.pid() + " did not end");
        processes.remove(process);
    }

    @Override
    public void close() {
        stopAll();
        try {
            Runtime.getRuntime().removeShutdownHook(cleanup);
        } catch (IllegalStateException alreadyExiting) {
            // the hook itself is running
        }
    }

    private void stopAll() {
        List<Process> reverse = new ArrayList<>(processes);
        java.util.Collections.reverse(reverse);
        for (Process process : reverse) {
            process.destroyForcibly();
            try {
                process.waitFor(WAIT_SECONDS, TimeUnit.SECONDS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        processes.clear();
        feeder.close();
    }

    private static long deadline() {
        return System.nanoTime() + TimeUnit.SECONDS.toNanos(WAIT_SECONDS);
    }

    private static void check(boolean ok, String message) {
        if (!ok) {
            throw new AssertionError(message);
        }
    }

    /**
     * The daemon's NMEA source. GeoClue2 connects when its NMEA source starts
     * (a client asking for exact accuracy) and hangs up when it stops; every
     * sentence goes to every connection open at the time. The server never
     * closes a connection itself: on end of input the daemon would drop the
     * source for the rest of its life.
     */
    static final class NmeaFeeder implements AutoCloseable {
        private final ServerSocketChannel server;
        private final List<SocketChannel> connections = new CopyOnWriteArrayList<>();
        private final Thread acceptor;
        private long lastStampSeconds; // guarded by this: the daemon ignores a fix older than its last

        NmeaFeeder(Path socket) throws IOException {
            server = ServerSocketChannel.open(StandardProtocolFamily.UNIX);
            server.bind(UnixDomainSocketAddress.of(socket));
            Files.setPosixFilePermissions(socket, PosixFilePermissions.fromString("rw-rw-rw-"));
            acceptor = new Thread(this::accept, "nmea-acceptor");
            acceptor.setDaemon(true);
            acceptor.start();
        }

        private void accept() {
            try {
                for (;;) {
                    SocketChannel connection = server.accept();
                    connections.add(connection);
                    Thread watcher = new Thread(() -> watch(connection), "nmea-connection");
                    watcher.setDaemon(true);
                    watcher.start();
                }
            } catch (IOException closed) {
                // the rig is closing
            }
        }

        /** Notices the daemon hanging up; it sends nothing otherwise. */
        private void watch(SocketChannel connection) {
            ByteBuffer sink = ByteBuffer.allocate(256);
            try {
                while (connection.read(sink.clear()) >= 0) {
                    // discard
                }
            } catch (IOException e) {
                // gone either way
            }
            connections.remove(connection);
        }

        /** Waits until the daemon's NMEA source is connected. */
        void awaitConnection() throws InterruptedException {
            long until = deadline();
            while (connections.isEmpty()) {
                check(System.nanoTime() < until, "the daemon never connected to the NMEA socket");
                Thread.sleep(5); // poll with a deadline
            }
        }

        /**
         * Writes one GGA fix; returns the instant GeoClue2 will stamp it with
         * (the sentence's time of day, today, whole seconds). `at` is moved
         * forward to the last fix's time when it is earlier.
         */
        synchronized Instant feed(double latitude, double longitude, double hdop, Instant at) throws IOException {
            long seconds = Math.max(at.getEpochSecond(), lastStampSeconds);
            lastStampSeconds = seconds;
            ZonedDateTime time = Instant.ofEpochSecond(seconds).atZone(ZoneOffset.UTC);
            String body = String.format(java.util.Locale.ROOT,
                    "GPGGA,%02d%02d%02d.00,%s,%s,1,08,%.1f,545.4,M,46.9,M,,", time.getHour(), time.getMinute(),
                    time.getSecond(), degrees(latitude, 2, "N", "S"), degrees(longitude, 3, "E", "W"), hdop);
            int sum = 0;
            for (char c : body.toCharArray()) {
                sum ^= c;
            }
            byte[] sentence = String.format("$%s*%02X\r\n", body, sum).getBytes(StandardCharsets.US_ASCII);
            for (SocketChannel connection : connections) {
                try {
                    ByteBuffer buffer = ByteBuffer.wrap(sentence);
                    while (buffer.hasRemaining()) {
                        connection.write(buffer);
                    }
                } catch (IOException gone) {
                    connections.remove(connection);
                }
            }
            // Today's date as the daemon sees it when it parses the sentence.
            return ZonedDateTime.now(ZoneOffset.UTC).toLocalDate().atTime(time.toLocalTime())
                    .toInstant(ZoneOffset.UTC);
        }

        /** NMEA's [d]ddmm.mmmm form, then the hemisphere. */
        private static String degrees(double value, int width, String positive, String negative) {
            double magnitude = Math.abs(value);
            int whole = (int) magnitude;
            double minutes = (magnitude - whole) * 60;
            return String.format(java.util.Locale.ROOT, "%0" + width + "d%07.4f,%s", whole, minutes,
                    value >= 0 ? positive : negative);
        }

        @Override
        public void close() {
            try {
                server.close();
            } catch (IOException e) {
                // nothing to do
            }
            for (SocketChannel connection : connections) {
                try {
                    connection.close();
                } catch (IOException e) {
                    // nothing to do
                }
            }
        }
    }
}
