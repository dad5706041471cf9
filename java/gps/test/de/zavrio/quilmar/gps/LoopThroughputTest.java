package de.zavrio.quilmar.gps;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import de.zavrio.quilmar.test.NativeLibraries;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.condition.EnabledIfSystemProperty;

/** Pairs per second through the whole loop into Java (bench/gps-loop.sh). */
@EnabledIfSystemProperty(named = "quilmar.bench", matches = "1")
class LoopThroughputTest extends ReceiverFixture {
    @Test
    void telitLogTwentyTimes() throws Exception {
        List<String> lines = new ArrayList<>();
        for (String line : Files.readAllLines(NativeLibraries.source("jni/gps/testdata/telit-he910.log"),
                StandardCharsets.ISO_8859_1)) {
            if (line.startsWith("$")) {
                lines.add(line);
            }
        }
        List<String> all = new ArrayList<>();
        for (int i = 0; i < 20; i++) {
            all.addAll(lines);
        }
        Path log = Files.createTempFile(Path.of("/dev/shm"), "gps-bench", ".log");
        try {
            Files.write(log, all, StandardCharsets.ISO_8859_1);
            int expected = RealLogReplayTest.expectedPairs(all).size();
            startReader();
            long start = System.nanoTime();
            sim.command("replay " + log + " 0");
            assertTrue(gps.awaitCallbacks("last", expected, 300_000));
            double seconds = (System.nanoTime() - start) / 1e9;
            assertEquals(expected, count("last"));
            System.out.printf(Locale.ROOT, "gps loop throughput: %d pairs (%d sentences) in %.3f s: %.0f pairs/s%n",
                    expected, all.size(), seconds, expected / seconds);
        } finally {
            Files.deleteIfExists(log);
        }
    }
}
