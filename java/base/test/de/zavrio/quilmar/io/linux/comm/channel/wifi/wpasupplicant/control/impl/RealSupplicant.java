package de.zavrio.quilmar.io.linux.comm.channel.wifi.wpasupplicant.control.impl;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Comparator;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/**
 * The real supplicant daemon as a server: on the loopback interface with its
 * "none" driver and a control socket in a directory of the test's own.
 */
final class RealSupplicant {
    final Path dir;
    final Path socket;
    private final long pid;

    RealSupplicant() throws IOException, InterruptedException {
        dir = Files.createTempDirectory(Path.of("/dev/shm"), "wpa-daemon");
        Path conf = dir.resolve("wpa.conf");
        Path pidFile = dir.resolve("wpa.pid");
        socket = dir.resolve("ctrl").resolve("lo");
        Files.writeString(conf, "ctrl_interface=" + dir.resolve("ctrl") + "\n");
        Process start;
        try {
            start = new ProcessBuilder("wpa_supplicant", "-i", "lo", "-D", "none", "-c", conf.toString(), "-B", "-P",
                    pidFile.toString()).redirectErrorStream(true).start();
        } catch (IOException e) {
            removeDir();
            throw e;
        }
        String output = new String(start.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (!start.waitFor(20, TimeUnit.SECONDS) || start.exitValue() != 0) {
            start.destroyForcibly();
            removeDir();
            throw new IOException("wpa_supplicant did not start: " + output);
        }
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
        while (!(Files.exists(socket) && Files.exists(pidFile) && Files.size(pidFile) > 0)) {
            if (System.nanoTime() > deadline) {
                removeDir();
                throw new IOException("wpa_supplicant made no control socket in " + dir);
            }
            Thread.sleep(10);
        }
        pid = Long.parseLong(Files.readString(pidFile).trim());
    }

    String path() {
        return socket.toString();
    }

    /** Stops the daemon now, as if it had died. */
    void kill() throws Exception {
        ProcessHandle.of(pid).ifPresent(h -> {
            h.destroy();
            try {
                h.onExit().get(20, TimeUnit.SECONDS);
            } catch (Exception e) {
                h.destroyForcibly();
            }
        });
    }

    void close() throws Exception {
        kill();
        removeDir();
    }

    private void removeDir() throws IOException {
        try (Stream<Path> files = Files.walk(dir)) {
            files.sorted(Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
        }
    }
}
