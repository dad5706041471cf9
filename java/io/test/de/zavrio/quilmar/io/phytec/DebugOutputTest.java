package de.zavrio.quilmar.io.phytec;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import de.zavrio.quilmar.test.NativeLibraries;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/** The debug lines of setNativeLogging, seen on a child JVM's standard output. */
class DebugOutputTest {
    /** The jars of the stand-ins, the support classes, these tests and the assertions GpioBoard uses. */
    static String classPath() throws Exception {
        List<String> jars = new ArrayList<>();
        for (Class<?> c : new Class<?>[] {QuilmarIOPhytecImpl.class, NativeLibraries.class, DebugOutputMain.class,
                org.junit.jupiter.api.Assertions.class, org.opentest4j.AssertionFailedError.class}) {
            String jar = java.nio.file.Path.of(c.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
            if (!jars.contains(jar)) {
                jars.add(jar);
            }
        }
        return String.join(java.io.File.pathSeparator, jars);
    }

    @Test
    void debugLinesOnlyWhileLoggingIsOn() throws Exception {
        // A second JVM under qemu costs more than the test is worth there.
        assumeFalse(NativeLibraries.onTarget());
        try (GpioBoard board = new GpioBoard("gpio")) {
            board.gpio("set", "inE/negated", "y");
            board.setFile("hwmon/hwmon2/device/in0_input", "");

            String java = ProcessHandle.current().info().command().orElseThrow();
            List<String> cmd = new ArrayList<>(List.of(java, "-cp", classPath(),
                    "-Djava.library.path=" + System.getProperty("java.library.path")));
            for (String p : new String[] {"quilmar.lib", "quilmar.bin", "quilmar.hostbin", "quilmar.source"}) {
                cmd.add("-D" + p + "=" + System.getProperty(p));
            }
            cmd.add(DebugOutputMain.class.getName());
            Process child = new ProcessBuilder(cmd).redirectError(ProcessBuilder.Redirect.INHERIT).start();
            String out = new String(child.getInputStream().readAllBytes(), StandardCharsets.ISO_8859_1);
            assertTrue(child.waitFor(GpioBoard.WAIT_MS, TimeUnit.MILLISECONDS));
            assertEquals(0, child.exitValue(), out);
            // Only the library writes to standard output; the second round,
            // with logging off, adds nothing before the alarm lines.
            String expected = "isDigitalInputNegated: 'no\n'\n"
                    + "isDigitalOutputNegated: 'no\n'\n"
                    + "isDigitalInputNegated: 'y'\n"
                    + "errno: ERRNO bufferSize: 20, readCount: 1\n"
                    + "rawTemp: 45250 -> 45250 (offset)-> 45250\n"
                    + "nativeGetAnalogInput: not enough data read: (0) ''\n"
                    + "[ev=12.000000500, rep=13.999999999, 1, 3, 5]\n"
                    + "Set RTC to: 24.11.107  6:30\n"
                    + "Reset RTC Alarm\n";
            assertEquals(expected, out.replaceAll("errno: \\d+ ", "errno: ERRNO "));
        }
    }
}
