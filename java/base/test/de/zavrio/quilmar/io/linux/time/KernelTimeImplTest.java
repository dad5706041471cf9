package de.zavrio.quilmar.io.linux.time;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import de.zavrio.quilmar.test.NativeLibraries;
import de.zavrio.quilmar.test.VirtualClock;
import java.io.IOException;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * The clock is the preloaded virtual one, armed for the test's thread only:
 * this machine's clock is never stepped (settimeofday never reaches it).
 */
class KernelTimeImplTest {
    private final KernelTimeImpl kernelTime = new KernelTimeImpl();

    @BeforeAll
    static void load() {
        NativeLibraries.load();
        assertTrue(VirtualClock.present(), "the JVM must run with libquilmarclock.so preloaded");
    }

    @AfterEach
    void disarm() {
        VirtualClock.disarm();
        kernelTime.setNativeLogging(false);
    }

    /** Adjusts a clock frozen at (sec, usec) and returns what was set. */
    private long[] adjust(long sec, int usec, long offsetSec, long offsetUsec) throws IOException {
        VirtualClock.arm(sec, usec, false);
        kernelTime.adjustTime(offsetSec, offsetUsec);
        long[] set = VirtualClock.lastSet();
        assertEquals(1, set[0], "one settimeofday");
        assertArrayEquals(new long[] {set[1], set[2]}, VirtualClock.now(), "the clock moved to the value set");
        return new long[] {set[1], set[2]};
    }

    private static boolean privileged() {
        // The virtual clock grants a set, as the kernel does, only with CAP_SYS_TIME.
        return "root".equals(System.getProperty("user.name"));
    }

    @Test
    void stepsAndNormalisesOnce() throws IOException {
        assumeTrue(privileged());
        assertArrayEquals(new long[] {1001, 200000}, adjust(1000, 700000, 0, 500000));
        assertArrayEquals(new long[] {999, 500000}, adjust(1000, 300000, 0, -800000));
        assertArrayEquals(new long[] {1005, 300000}, adjust(1000, 300000, 5, 0));
        assertArrayEquals(new long[] {940, 0}, adjust(1000, 0, -60, 0));
        kernelTime.setNativeLogging(true); // the debug lines must not change the result
        assertArrayEquals(new long[] {1001, 200000}, adjust(1000, 700000, 0, 500000));
    }

    @Test
    void onlyTheLow32BitsOfEachArgumentCount() throws IOException {
        assumeTrue(privileged());
        assertArrayEquals(new long[] {1003, 0}, adjust(1000, 0, (1L << 32) + 3, 0));
        assertArrayEquals(new long[] {997, 0}, adjust(1000, 0, 0xFFFF_FFFF_0000_0000L - 3, 0));
        assertArrayEquals(new long[] {1000, 500000}, adjust(1000, 0, 0, (5L << 32) + 500000));
        assertArrayEquals(new long[] {999, 999999}, adjust(1000, 0, 1L << 40, -1));
    }

    @Test
    void valueStillOutOfRangeAfterOneStepIsRefused() {
        VirtualClock.arm(1000, 0, false);
        IOException e = assertThrows(IOException.class, () -> kernelTime.adjustTime(0, 2500000));
        assertEquals("settimeofday:EINVAL", e.getMessage());
        long[] set = VirtualClock.lastSet();
        assertArrayEquals(new long[] {1, 1001, 1500000}, new long[] {set[0], set[1], set[2]});
        assertArrayEquals(new long[] {1000, 0}, VirtualClock.now(), "the clock is unchanged");
    }

    @Test
    void refusedSetsRaiseTheirTexts() {
        String[][] cases = {{"EPERM", "settimeofday:EPERM"}, {"EFAULT", "settimeofday:EFAULT"},
            {"EINVAL", "settimeofday:EINVAL"}, {"EIO", "settimeofday:unkown"}};
        for (String[] c : cases) {
            VirtualClock.arm(1000, 0, false);
            VirtualClock.fail("settimeofday", VirtualClock.errno(c[0]));
            IOException e = assertThrows(IOException.class, () -> kernelTime.adjustTime(5, 0));
            assertEquals(IOException.class, e.getClass());
            assertEquals(c[1], e.getMessage());
            assertArrayEquals(new long[] {1000, 0}, VirtualClock.now());
        }
    }

    @Test
    void failedReadLeavesTheClockAlone() {
        VirtualClock.arm(1000, 0, false);
        VirtualClock.fail("gettimeofday", VirtualClock.errno("EFAULT"));
        IOException e = assertThrows(IOException.class, () -> kernelTime.adjustTime(5, 0));
        assertEquals("gettimeofday", e.getMessage());
        assertEquals(0, VirtualClock.lastSet()[0], "nothing was set");
    }

    @Test
    void otherThreadsOfTheVmKeepTheRealClock() throws Exception {
        VirtualClock.arm(1000, 0, false);
        long[] seen = new long[1];
        Thread other = new Thread(() -> seen[0] = System.currentTimeMillis());
        other.start();
        other.join();
        assertTrue(seen[0] > 1_600_000_000_000L, "real time on other threads: " + seen[0]);
    }
}
