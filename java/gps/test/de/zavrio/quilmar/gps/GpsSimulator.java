package de.zavrio.quilmar.gps;

import de.zavrio.quilmar.test.NativeLibraries;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStreamWriter;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** The simulated receiver (gpssim) on a pseudo-terminal, driven through its commands. */
final class GpsSimulator {
    private final Process process;
    private final Writer commands;
    private final String path;
    private final List<String> lines = new ArrayList<>();
    private final Thread collector;

    private GpsSimulator(Process process) throws IOException {
        this.process = process;
        this.commands = new OutputStreamWriter(process.getOutputStream(), StandardCharsets.ISO_8859_1);
        BufferedReader out = new BufferedReader(new InputStreamReader(process.getInputStream(), StandardCharsets.ISO_8859_1));
        String first = out.readLine();
        if (first == null || !first.startsWith("pty ")) {
            process.destroyForcibly();
            throw new IOException("gpssim did not start: " + first);
        }
        path = first.substring(4);
        collector = new Thread(() -> {
            try {
                for (String line; (line = out.readLine()) != null;) {
                    synchronized (lines) {
                        lines.add(line);
                        lines.notifyAll();
                    }
                }
            } catch (IOException e) {
                // the simulator ended
            }
        }, "gpssim-output");
        collector.setDaemon(true);
        collector.start();
    }

    static GpsSimulator start() throws IOException {
        ProcessBuilder builder = new ProcessBuilder(NativeLibraries.hostProgram("gpssim").toString());
        builder.redirectError(ProcessBuilder.Redirect.INHERIT);
        return new GpsSimulator(builder.start());
    }

    String path() {
        return path;
    }

    GpsSimulator command(String line) throws IOException {
        commands.write(line + "\n");
        commands.flush();
        return this;
    }

    /** Sends "$body*checksum" with the current line ending. */
    GpsSimulator nmea(String body) throws IOException {
        return command("nmea " + body);
    }

    /** Waits until a line the simulator printed satisfies the test; returns it. */
    String await(java.util.function.Predicate<String> test, long timeoutMillis) throws InterruptedException {
        final long deadline = System.nanoTime() + timeoutMillis * 1_000_000L;
        synchronized (lines) {
            while (true) {
                for (String line : lines) {
                    if (test.test(line)) {
                        return line;
                    }
                }
                long left = (deadline - System.nanoTime()) / 1_000_000L;
                if (left <= 0) {
                    return null;
                }
                lines.wait(left);
            }
        }
    }

    /** Everything the library wrote to the receiver so far, "\xNN" for bytes outside printable ASCII. */
    String received() {
        StringBuilder all = new StringBuilder();
        synchronized (lines) {
            for (String line : lines) {
                if (line.startsWith("rx ")) {
                    all.append(line.substring(3));
                }
            }
        }
        return all.toString();
    }

    /** Ends the simulator: end of its input hangs the line up. */
    void close() throws IOException, InterruptedException {
        commands.close();
        if (!process.waitFor(10, TimeUnit.SECONDS)) {
            process.destroyForcibly();
            process.waitFor(10, TimeUnit.SECONDS);
        }
        collector.join(5000);
    }
}
