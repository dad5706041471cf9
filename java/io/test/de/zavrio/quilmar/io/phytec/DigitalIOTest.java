package de.zavrio.quilmar.io.phytec;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.FileNotFoundException;
import java.io.IOException;
import java.nio.file.Files;
import org.junit.jupiter.api.Test;

/** Levels, negation, edge, debounce, trigger, outputs and the snapshot. */
class DigitalIOTest extends GpioFixture {
    @Test
    void addressesOutsideTheRangeAreRefused() {
        String invalid = "invalid address";
        for (int bad : new int[] {-1, 16, Integer.MAX_VALUE}) {
            fails(IllegalArgumentException.class, invalid, () -> io.getDigitalInput(bad));
            fails(IllegalArgumentException.class, invalid, () -> io.setDigitalInputNegated(bad, true));
            fails(IllegalArgumentException.class, invalid, () -> io.isDigitalInputNegated(bad));
            fails(IllegalArgumentException.class, invalid, () -> io.setDigitalInputEdge(bad, "both"));
            fails(IllegalArgumentException.class, invalid, () -> io.nativeGetDigitalInputTriggerEdge(bad));
            fails(IllegalArgumentException.class, invalid, () -> io.setDigitalInputDebounce(bad, 1));
            fails(IllegalArgumentException.class, invalid, () -> io.getDigitalInputDebounce(bad));
            fails(IllegalArgumentException.class, invalid, () -> io.triggeDigitalInput(bad));
        }
        for (int bad : new int[] {-1, 4}) {
            fails(IllegalArgumentException.class, invalid, () -> io.setDigitalOutput(bad, true));
            fails(IllegalArgumentException.class, invalid, () -> io.getDigitalOutput(bad));
            fails(IllegalArgumentException.class, invalid, () -> io.setDigitalOutputNegated(bad, true));
            fails(IllegalArgumentException.class, invalid, () -> io.isDigitalOutputNegated(bad));
        }
    }

    @Test
    void levelFilesReadHiAsTrue() throws Exception {
        board.setFile("gpio/inF/level", "hi\n");
        assertTrue(io.getDigitalInput(15));
        board.setFile("gpio/inF/level", "hI\n");
        assertFalse(io.getDigitalInput(15));
        board.setFile("gpio/in0/level", "lo\n");
        assertFalse(io.getDigitalInput(0));
        board.setFile("gpio/in0/level", "h");
        fails(IOException.class, "not enough data read", () -> io.getDigitalInput(0));
        board.setFile("gpio/out3/level", "hi");
        assertTrue(io.getDigitalOutput(3));
        Files.delete(board.file("gpio/in9/level"));
        fails(FileNotFoundException.class, "/sys/class/gpio/in9/level", () -> io.getDigitalInput(9));
    }

    @Test
    void outputsSwitchAndReopenAfterAFailedWrite() throws Exception {
        io.setDigitalOutput(2, true);
        assertEquals("out2 on writes=1", board.shown("out2"));
        assertEquals("hi\n", board.readFile("gpio/out2/level"));
        assertTrue(io.getDigitalOutput(2));
        io.setDigitalOutput(2, false);
        assertFalse(io.getDigitalOutput(2));

        board.gpio("fail", "out", "0");
        fails(IOException.class, "cannot set digital output", () -> io.setDigitalOutput(0, true));
        assertEquals("out0 off writes=0", board.shown("out0"));
        io.setDigitalOutput(0, true);
        assertEquals("out0 on writes=1", board.shown("out0"));

        board.gpio("vanish", "0"); // an input: outputs stay
        io.setDigitalOutput(3, true);
        assertTrue(io.getDigitalOutput(3));
        board.gpio("restore", "0");
    }

    @Test
    void negationIsWrittenAsOneLetterAndReadAsTheDriverShowsIt() throws Exception {
        io.setDigitalInputNegated(3, true);
        assertEquals("yes\n", board.gpio("get", "in3/negated"));
        assertTrue(io.isDigitalInputNegated(3));
        io.setDigitalInputNegated(3, false);
        assertEquals("no\n", board.gpio("get", "in3/negated"));
        assertFalse(io.isDigitalInputNegated(3));
        io.setDigitalOutputNegated(1, true);
        assertEquals("yes\n", board.gpio("get", "out1/negated"));
        assertTrue(io.isDigitalOutputNegated(1));
        assertFalse(io.isDigitalOutputNegated(0));

        board.gpio("set", "inE/negated", "1x");
        assertTrue(io.isDigitalInputNegated(14));
        board.gpio("set", "inE/negated", "ye");
        assertFalse(io.isDigitalInputNegated(14));
        board.gpio("set", "inE/negated", "y");
        fails(IOException.class, "not enough data read", () -> io.isDigitalInputNegated(14));
        board.gpio("set", "out2/negated", "yes-and-more-than-twenty-octets");
        assertTrue(io.isDigitalOutputNegated(2));
    }

    @Test
    void edgeTextGoesToTheDriverUnchanged() throws Exception {
        io.setDigitalInputEdge(3, "rising");
        assertEquals("rising\n", board.gpio("get", "in3/edge"));
        assertEquals("rising\n", io.nativeGetDigitalInputTriggerEdge(3));
        io.setDigitalInputEdge(15, "falling\n");
        assertEquals("falling\n", io.nativeGetDigitalInputTriggerEdge(15));
        fails(IOException.class, "cannot write", () -> io.setDigitalInputEdge(3, "sideways"));
        assertEquals("rising\n", board.gpio("get", "in3/edge"));
        board.gpio("set", "in3/edge", "x");
        fails(IOException.class, "not enough data read", () -> io.nativeGetDigitalInputTriggerEdge(3));
        assertThrows(NullPointerException.class, () -> io.setDigitalInputEdge(3, null));
    }

    @Test
    void debounceValuesAtTheEdgesOfTheDriversRange() throws Exception {
        fails(IllegalArgumentException.class, "debounce cannot be less then zero",
                () -> io.setDigitalInputDebounce(3, -1));
        io.setDigitalInputDebounce(3, 20);
        assertEquals("20\n", board.gpio("get", "in3/debounce"));
        assertEquals(20, io.getDigitalInputDebounce(3));
        io.setDigitalInputDebounce(3, 0);
        assertEquals(0, io.getDigitalInputDebounce(3));
        io.setDigitalInputDebounce(3, 2147483647L);
        assertEquals(2147483647L, io.getDigitalInputDebounce(3));
        fails(IllegalArgumentException.class, "debounce cannot be greater then 2147483647",
                () -> io.setDigitalInputDebounce(3, 2147483648L));
        fails(IllegalArgumentException.class, "debounce cannot be greater then 2147483647",
                () -> io.setDigitalInputDebounce(3, 4294967316L)); // low 32 bits: 20
        assertEquals("2147483647\n", board.gpio("get", "in3/debounce"));

        board.gpio("set", "in5/debounce", "  15\n");
        assertEquals(15, io.getDigitalInputDebounce(5));
        board.gpio("set", "in5/debounce", "-3");
        assertEquals(-3, io.getDigitalInputDebounce(5));
        board.gpio("set", "in5/debounce", "fast");
        fails(IOException.class, "not a number", () -> io.getDigitalInputDebounce(5));
        board.gpio("set", "in5/debounce", "7");
        assertEquals(7, io.getDigitalInputDebounce(5));
        // The same on the 32-bit target as on the host: a Java long's range, nothing beyond.
        board.gpio("set", "in5/debounce", "2147483648");
        assertEquals(2147483648L, io.getDigitalInputDebounce(5));
        board.gpio("set", "in5/debounce", "9223372036854775808");
        fails(IOException.class, "not a number", () -> io.getDigitalInputDebounce(5));
    }

    @Test
    void snapshotOfAllSignals() throws Exception {
        board.gpio("all", "1H0LxyzHHHHHHHHHHHHH1");
        boolean[] all = io.nativeGetAll();
        assertEquals(21, all.length);
        assertArrayEquals(new boolean[] {true, true, false, false, false, false, false}, java.util.Arrays.copyOf(all, 7));
        assertTrue(all[20]);

        board.gpio("all", "live");
        board.setFile("gpio/in1/level", "hi\n");
        io.setDigitalOutput(1, true);
        all = io.nativeGetAll();
        assertTrue(all[1]);
        assertFalse(all[0]);
        assertTrue(all[17]);
        assertFalse(all[16]);
        assertFalse(all[20]);

        board.gpio("all", "1H0L");
        fails(IOException.class, "not enough data read", () -> io.nativeGetAll());
    }

    @Test
    void triggerWritesOne() throws Exception {
        io.triggeDigitalInput(9);
        assertTrue(board.shown("in9").contains("queued=1 sequence=1"));
    }
}
