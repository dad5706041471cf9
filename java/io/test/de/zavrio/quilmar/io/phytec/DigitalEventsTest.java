package de.zavrio.quilmar.io.phytec;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.FileNotFoundException;
import java.io.IOException;
import java.io.File;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/** readEvents over the emulated input devices. */
class DigitalEventsTest extends GpioFixture {
    Thread reader;
    volatile Throwable readerEnd;
    volatile boolean readerReturned;

    // Runs before the fixture's violation check.
    @AfterEach
    void end() throws Exception {
        if (reader != null) {
            io.stopReadEvents();
            reader.join(GpioBoard.WAIT_MS);
            assertFalse(reader.isAlive(), "reader still running after stopReadEvents");
        }
        board.gpio("restore", "A");
        board.gpio("restore", "7");
    }

    void startReader() {
        reader = new Thread(() -> {
            try {
                io.readEvents();
                readerReturned = true;
            } catch (Throwable t) {
                readerEnd = t;
            }
        }, "io-reader");
        reader.start();
    }

    /** Waits until all sixteen inputs are open (the reader is waiting). */
    void awaitOpen() throws Exception {
        long end = System.currentTimeMillis() + GpioBoard.WAIT_MS;
        while (!board.shown("inF").endsWith("opens=1")) {
            assertTrue(System.currentTimeMillis() < end, "reader did not open the inputs");
            Thread.sleep(10);
        }
    }

    QuilmarIOEventImpl next() throws InterruptedException {
        QuilmarIOPhytecImpl.Delivery d = io.events.poll(GpioBoard.WAIT_MS, TimeUnit.MILLISECONDS);
        assertNotNull(d, "no event delivered");
        return d.event();
    }

    void assertAllClosed() throws Exception {
        for (String line : board.gpio("show").split("\n")) {
            if (line.startsWith("in")) {
                assertTrue(line.endsWith("opens=0"), line);
            }
        }
    }

    @Test
    void pendingRecordsAreDeliveredInInputOrderWithTheirFields() throws Exception {
        board.gpio("edge", "C", "0", "20", "7", "21", "8");
        board.gpio("edge", "3", "5", "12", "500", "13", "999999999");
        startReader();
        QuilmarIOEventImpl first = next();
        QuilmarIOEventImpl second = next();
        assertEquals(3, first.address);
        assertEquals(1, first.sequenceNumber);
        assertTrue(first.booleanValue);
        assertTrue(first.raise);
        assertEquals(0, first.type);
        assertEquals(12, first.eventSeconds);
        assertEquals(500, first.eventNanos);
        assertEquals(13, first.notifySeconds);
        assertEquals(999999999, first.notifyNanos);

        assertEquals(12, second.address);
        assertFalse(second.booleanValue);
        assertFalse(second.raise);
        assertEquals(0, second.type);
        assertEquals(20, second.eventSeconds);
        assertEquals(7, second.eventNanos);
        assertEquals(21, second.notifySeconds);
        assertEquals(8, second.notifyNanos);
    }

    @Test
    void edgesOnEveryInputArriveInOrderPerInput() throws Exception {
        startReader();
        awaitOpen();
        Map<Integer, List<Integer>> injected = new HashMap<>();
        int count = 0;
        for (int round = 0; round < 3; round++) {
            for (int n = 0; n < 16; n++) {
                int value = (round + n) % 2 == 0 ? 0 : 1 + round;
                board.gpio("edge", Integer.toHexString(n), Integer.toString(value));
                injected.computeIfAbsent(n, k -> new ArrayList<>()).add(value);
                count++;
            }
        }
        Map<Integer, List<QuilmarIOEventImpl>> got = new HashMap<>();
        for (int i = 0; i < count; i++) {
            QuilmarIOEventImpl e = next();
            got.computeIfAbsent(e.address, k -> new ArrayList<>()).add(e);
        }
        assertNull(io.events.poll(50, TimeUnit.MILLISECONDS), "more events than edges");
        for (int n = 0; n < 16; n++) {
            List<QuilmarIOEventImpl> events = got.get(n);
            assertEquals(3, events.size(), "input " + n);
            for (int i = 0; i < 3; i++) {
                QuilmarIOEventImpl e = events.get(i);
                assertEquals(i + 1, e.sequenceNumber, "input " + n);
                assertEquals(injected.get(n).get(i) != 0, e.booleanValue, "input " + n);
                assertTrue(e.eventSeconds > 1_000_000_000, "event time is the wall clock: " + e);
                assertTrue(e.notifySeconds >= e.eventSeconds, e.toString());
            }
        }
        assertEquals("hi\n", board.readFile("gpio/inF/level"));
        io.stopReadEvents();
        reader.join(GpioBoard.WAIT_MS);
        assertTrue(readerReturned, "stopReadEvents ends readEvents without exception: " + readerEnd);
        assertAllClosed();
        reader = null;
    }

    @Test
    void stopReleasesTheReaderAndDoesNotEndTheNextRun() throws Exception {
        io.stopReadEvents(); // nobody is reading: nothing to end
        startReader();
        awaitOpen();
        io.stopReadEvents();
        reader.join(GpioBoard.WAIT_MS);
        assertTrue(readerReturned, "readEvents returned: " + readerEnd);
        assertAllClosed();

        readerReturned = false;
        startReader();
        awaitOpen();
        board.gpio("edge", "1", "1");
        assertEquals(1, next().address);
    }

    @Test
    void missingInputEndsWithItsPathAndClosesTheOthers() throws Exception {
        board.gpio("vanish", "A");
        startReader();
        reader.join(GpioBoard.WAIT_MS);
        assertInstanceOf(FileNotFoundException.class, readerEnd);
        assertEquals("/dev/gpio/inA", readerEnd.getMessage());
        assertAllClosed();
        reader = null;
    }

    @Test
    void aRecordInPiecesGivesOneEventAndAStopStillEndsTheWait() throws Exception {
        board.gpio("split", "5", "14", "300");
        board.gpio("edge", "5", "1", "40", "41");
        startReader();
        assertEquals("in5 seq=1 value=true ev=40.000000041", next().toString().substring(0, 36));
        // Stopped between the pieces: the rest completes the record in the next run.
        board.gpio("split", "5", "10", "500");
        board.gpio("edge", "5", "0", "50", "51");
        Thread.sleep(100);
        io.stopReadEvents();
        reader.join(GpioBoard.WAIT_MS);
        assertTrue(readerReturned && io.events.isEmpty(), "readEvents returned: " + readerEnd);
        startReader();
        assertEquals("in5 seq=2 value=false ev=50.000000051", next().toString().substring(0, 37));
        assertNull(io.events.poll(100, TimeUnit.MILLISECONDS));
    }

    @Test
    void anExceptionFromJavaEndsTheLoopAndLosesNoRecord() throws Exception {
        QuilmarIOPhytecImpl refusing = new QuilmarIOPhytecImpl() {
            @Override
            public void addEvent(de.zavrio.quilmar.io.QuilmarIOEvent event) {
                super.addEvent(event);
                throw new IllegalStateException("addEvent refused");
            }
        };
        board.gpio("burst", "2", "2");
        assertEquals("addEvent refused", assertThrows(IllegalStateException.class, refusing::readEvents).getMessage());
        assertEquals(1, refusing.events.take().event().sequenceNumber);
        // A setter that throws: the event never reached addEvent, so its record comes again.
        QuilmarIOEventImpl.failingSetters = 1;
        assertEquals("setEventTime refused", assertThrows(IllegalStateException.class, io::readEvents).getMessage());
        startReader();
        assertEquals(2, next().sequenceNumber);
        assertNull(io.events.poll(100, TimeUnit.MILLISECONDS));
    }

    @Test
    void edgesCloserThanTheDebounceTimeAreNotReported() throws Exception {
        io.setDigitalInputDebounce(6, 200);
        startReader();
        awaitOpen();
        for (String[] edge : new String[][] {{"1", "10", "0"}, {"0", "10", "50000000"}, {"1", "20", "0"},
                {"0", "20", "100000000"}, {"1", "20", "150000000"}}) {
            board.gpio("edge", "6", edge[0], edge[1], edge[2]);
        }
        // 10.0 bounced back, 20.0 and 20.1 did not last: only the level kept from 20.15 is reported.
        assertEquals("in6 seq=1 value=true ev=20.150000000", next().toString().substring(0, 36));
        assertNull(io.events.poll(400, TimeUnit.MILLISECONDS));
    }

    @Test
    void everyDescriptorOfTheLibraryIsCloseOnExec() throws Exception {
        List<String> before = List.of(new File("/proc/self/fdinfo").list());
        io.setDigitalOutput(1, true);
        io.nativeSetLED(0, true);
        startReader();
        awaitOpen();
        List<String> opened = new ArrayList<>(List.of(new File("/proc/self/fdinfo").list()));
        opened.removeAll(before);
        assertTrue(opened.size() >= 20, "sixteen inputs, the stop pipe, an output and an LED: " + opened);
        for (String fd : opened) {
            try {
                String flags = Files.readAllLines(Path.of("/proc/self/fdinfo", fd)).get(1); // "flags:\t0..."
                assertTrue((Long.parseLong(flags.substring(6).trim(), 8) & 02000000) != 0, fd + " reaches a child");
            } catch (IOException closedMeanwhile) {
                // closed again (the listing's own descriptor, or one of the VM's closed
                // between opening its fdinfo and reading it: ENOENT on the read)
            }
        }
        // They stay open; failed writes close them again.
        board.gpio("fail", "out", "1");
        board.gpio("fail", "led", "green");
        assertThrows(IOException.class, () -> io.setDigitalOutput(1, true));
        assertThrows(IOException.class, () -> io.nativeSetLED(0, true));
    }

    @Test
    void anInputVanishingWhileWaitingEndsTheReader() throws Exception {
        startReader();
        awaitOpen();
        board.gpio("vanish", "7");
        reader.join(GpioBoard.WAIT_MS);
        assertInstanceOf(IOException.class, readerEnd);
        assertEquals("input device gone: /dev/gpio/in7", readerEnd.getMessage());
        assertAllClosed();
        reader = null;
    }

    @Test
    void triggerRaisesAnEventWithThePresentLevel() throws Exception {
        board.setFile("gpio/in4/level", "hi\n");
        startReader();
        awaitOpen();
        io.triggeDigitalInput(4);
        QuilmarIOEventImpl e = next();
        assertEquals(4, e.address);
        assertTrue(e.booleanValue);
    }
}
