package de.zavrio.quilmar.io.can;

import static org.junit.jupiter.api.Assertions.assertEquals;

import de.zavrio.quilmar.test.NativeLibraries;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** The emulated can4linux driver on this JVM's board, and its control words. */
final class CanBoard {
    private final String root = System.getenv("VBOARD_ROOT");
    private final Process emulator;

    CanBoard() throws IOException {
        emulator = hostProgram("start", "-r", root, "-e", "can --baud 1000 --rx-size 10000")
                .redirectError(ProcessBuilder.Redirect.DISCARD)
                .start();
        String ready = new BufferedReader(
                        new InputStreamReader(emulator.getInputStream(), StandardCharsets.UTF_8))
                .readLine();
        if (ready == null || !ready.startsWith("ready")) {
            emulator.destroy();
            throw new IOException("CAN emulation did not start: " + ready);
        }
    }

    /** vboard with these words, without the JVM's preload (the armel one is of no use to it). */
    private static ProcessBuilder hostProgram(String... words) {
        List<String> cmd = new ArrayList<>();
        cmd.add(NativeLibraries.hostProgram("vboard").toString());
        cmd.addAll(List.of(words));
        ProcessBuilder pb = new ProcessBuilder(cmd);
        pb.environment().remove("LD_PRELOAD");
        return pb;
    }

    /** Runs "vboard ctl can WORDS..." and returns its output; a failing word fails the test. */
    String ctl(String... words) throws IOException, InterruptedException {
        List<String> cmd = new ArrayList<>(List.of(NativeLibraries.hostProgram("vboard").toString(), "ctl", "-r",
                root, "can"));
        cmd.addAll(List.of(words));
        Process p = hostProgram(cmd.subList(1, cmd.size()).toArray(new String[0]))
                .redirectError(ProcessBuilder.Redirect.DISCARD)
                .start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (!p.waitFor(30, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            throw new IOException("vboard ctl hangs");
        }
        assertEquals(0, p.exitValue(), String.join(" ", words) + ": " + out);
        return out;
    }

    /** The records node `node` put on the bus, one "canN id=... len=... flags=... data=..." a line. */
    List<String> sent(int node) throws IOException, InterruptedException {
        List<String> lines = new ArrayList<>();
        for (String line : ctl("sent", Integer.toString(node)).split("\n")) {
            if (!line.isEmpty()) {
                lines.add(line);
            }
        }
        return lines;
    }

    /** Checks that the library kept to the device interface. */
    void assertNoViolations() throws IOException, InterruptedException {
        assertEquals("", ctl("violations"));
    }

    void close() throws InterruptedException {
        emulator.destroy();
        if (!emulator.waitFor(30, TimeUnit.SECONDS)) {
            emulator.destroyForcibly();
        }
    }
}
