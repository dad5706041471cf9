package de.zavrio.quilmar.io.phytec;

import static org.junit.jupiter.api.Assertions.assertEquals;

import de.zavrio.quilmar.test.NativeLibraries;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** The GPIO emulation (and optionally the RTC) on this JVM's board. */
final class GpioBoard implements AutoCloseable {
    /** Generous: the target's JVM runs under emulation. */
    static final long WAIT_MS = 60_000;

    final String root = System.getenv("VBOARD_ROOT");
    private final Process board;

    GpioBoard(String... emulators) throws IOException {
        List<String> cmd = new ArrayList<>(List.of(NativeLibraries.hostProgram("vboard").toString(), "start", "-r",
                root));
        for (String e : emulators) {
            cmd.add("-e");
            cmd.add(e);
        }
        board = hostCommand(cmd).redirectErrorStream(true).start();
        // Under the target's JVM the host loader first notes the inherited
        // armel preload ("wrong ELF class"); the answer follows.
        BufferedReader out = new BufferedReader(new InputStreamReader(board.getInputStream(), StandardCharsets.UTF_8));
        String ready = out.readLine();
        while (ready != null && !ready.startsWith("ready ") && ready.contains("ELF")) {
            ready = out.readLine();
        }
        if (ready == null || !ready.startsWith("ready ")) {
            board.destroy();
            throw new IOException("board did not start: " + ready);
        }
    }

    /** A program of this machine: without the target's preload, which its loader would only note. */
    private static ProcessBuilder hostCommand(List<String> cmd) {
        ProcessBuilder pb = new ProcessBuilder(cmd);
        if (NativeLibraries.onTarget()) {
            pb.environment().remove("LD_PRELOAD");
        }
        return pb;
    }

    /** "vboard ctl EMULATOR WORDS..."; fails the test unless it succeeds. */
    String ctl(String emulator, String... words) throws IOException, InterruptedException {
        return ctlOn(root, emulator, words);
    }

    /** "vboard ctl" on the board at `root`, which another process started. */
    static String ctlOn(String root, String emulator, String... words) throws IOException, InterruptedException {
        List<String> cmd = new ArrayList<>(List.of(NativeLibraries.hostProgram("vboard").toString(), "ctl", "-r",
                root, emulator));
        cmd.addAll(List.of(words));
        Process p = hostCommand(cmd).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (!p.waitFor(WAIT_MS, TimeUnit.MILLISECONDS)) {
            p.destroyForcibly();
            throw new IOException("ctl timed out");
        }
        assertEquals(0, p.exitValue(), "vboard ctl " + String.join(" ", words) + ": " + out);
        return out;
    }

    String gpio(String... words) throws IOException, InterruptedException {
        return ctl("gpio", words);
    }

    /** The line of "show" that starts with `prefix` followed by a blank. */
    String shown(String prefix) throws IOException, InterruptedException {
        for (String line : gpio("show").split("\n")) {
            if (line.startsWith(prefix + " ")) {
                return line;
            }
        }
        throw new AssertionError("no " + prefix + " in show");
    }

    /** A plain attribute file under the board's /sys/class. */
    void setFile(String relative, String text) throws IOException {
        Files.writeString(file(relative), text, StandardCharsets.ISO_8859_1);
    }

    String readFile(String relative) throws IOException {
        return Files.readString(file(relative), StandardCharsets.ISO_8859_1);
    }

    Path file(String relative) {
        return Path.of(root, "sys/class", relative);
    }

    void assertNoViolations() throws IOException, InterruptedException {
        assertEquals("", gpio("violations"), "violations of the GPIO interface");
    }

    @Override
    public void close() {
        board.destroy();
        try {
            board.waitFor(WAIT_MS, TimeUnit.MILLISECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
