package de.zavrio.quilmar.io.can;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import de.zavrio.quilmar.test.NativeLibraries;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

/** The library on the emulated bus: events, awaited messages, transmissions, stopping the reader. */
class CanBusTest extends CanFixture {
    static final int BUSOFF = 0x20;
    static final int SELF = 0x08;

    CanBoard board;

    @BeforeEach
    void startBoard() throws Exception {
        board = new CanBoard();
    }

    @AfterEach
    void stopBoard() throws Exception {
        try {
            closeBus();
            board.assertNoViolations();
        } finally {
            board.close();
        }
    }

    void open(boolean blocking, CANMessageFilter... filters) throws IOException {
        bus = new RecordingBus("/dev/can0", blocking);
        bus.baud = 1000;
        bus.sleeptime = 5;
        bus.filterArray = filters;
        bus.fd = bus.openCanDevice();
        assertTrue(bus.fd >= 0);
    }

    /** Waits until the reader finished at least one more cycle. */
    void awaitCycle() throws InterruptedException {
        int now = bus.cycles.get();
        assertTrue(bus.await(() -> bus.cycles.get() > now + 1), "reader does not cycle");
    }

    @Test
    void openSetsTheBitRateAndFiltersDecideWhatIsReported() throws Exception {
        CANMessageFilter changes = new CANMessageFilter(0x20, -1);
        changes.mask = new byte[] {0x0F};
        open(false, new CANMessageFilter(0x10, 100_000), changes);
        String requests = board.ctl("requests", "0");
        assertTrue(requests.contains("can0 command stop\ncan0 config timing 1000\ncan0 command start"), requests);
        startReader();
        board.ctl("frame", "0x10", "0102");
        board.ctl("frame", "0x10", "0304");  // within the interval
        board.ctl("frame", "0x11", "05");  // no filter
        board.ctl("frame", "0x20", "10");
        board.ctl("frame", "0x20", "1f");  // only masked bits changed
        board.ctl("frame", "0x20", "30");
        assertTrue(bus.awaitEvents(3));
        awaitCycle();
        awaitCycle();
        List<CANMessage> events = bus.events();
        assertEquals(3, events.size());
        assertEquals(0x10, events.get(0).id);
        assertArrayEquals(new byte[] {1, 2}, events.get(0).data);
        assertTrue(events.get(0).seconds > 1_000_000_000L);
        assertTrue(events.get(0).mikroseconds >= 0 && events.get(0).mikroseconds < 1_000_000);
        assertArrayEquals(new byte[] {0x10}, events.get(1).data);
        assertArrayEquals(new byte[] {0x30}, events.get(2).data);
        assertEquals(0, bus.filteredNotifications.get());
    }

    @Test
    void errorRecordsAreReportedWithAnEmptyTable() throws Exception {
        open(true);
        startReader();
        board.ctl("frame", "0x10", "01");
        board.ctl("error", "0", "busoff");
        assertTrue(bus.awaitEvents(1));
        CANMessage e = bus.events().get(0);
        assertEquals(-1, e.id);
        assertEquals(BUSOFF, e.flags & BUSOFF);
        assertEquals(0, e.data.length);
    }

    @Test
    void awaitedMessageIsHandedOverOnce() throws Exception {
        open(false);
        bus.filterMessageId = 0x123;
        startReader();
        board.ctl("frame", "0x122", "01");
        board.ctl("frame", "0x123", "aabb");
        board.ctl("frame", "0x123", "ccdd");
        assertTrue(bus.await(() -> bus.filteredNotifications.get() == 1));
        awaitCycle();
        awaitCycle();
        assertEquals(1, bus.filteredNotifications.get());
        assertEquals(-1, bus.filterMessageId);
        assertEquals(0x123, bus.filteredMessage.id);
        assertArrayEquals(new byte[] {(byte) 0xaa, (byte) 0xbb}, bus.filteredMessage.data);
        assertTrue(bus.events().isEmpty());
    }

    @Test
    void directAndPendingWrites() throws Exception {
        open(false);
        bus.writeMessage(new CANMessage(0x55, new byte[] {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
        bus.writeMessage(new CANMessage(0x56, null));
        startReader();
        bus.messageToWrite = new CANMessage(0x57, new byte[] {(byte) 0xfe});
        assertTrue(bus.await(() -> bus.sendNotifications.get() == 1));
        assertTrue(bus.messageWritten);
        assertEquals(1, bus.writeResponse);
        awaitCycle();
        assertEquals(1, bus.sendNotifications.get());
        assertEquals(List.of("can0 id=0x55 len=8 flags=0x00 data=01 02 03 04 05 06 07 08",
                        "can0 id=0x56 len=0 flags=0x00 data=-", "can0 id=0x57 len=1 flags=0x00 data=fe"),
                board.sent(0));
    }

    @Test
    void bulkTransferConfirmedByOwnEchoAndByOtherTraffic() throws Exception {
        board.ctl("self", "0", "on");
        open(false);
        bus.writeSleeptime = 50_000_000L;
        bus.closeCanDevice();
        bus.fd = bus.openCanDevice();
        startReader();
        // The echo of our own record confirms it; a different identifier is no answer.
        bus.canMessagesReveiceArray = new CANMessage[] {new CANMessage(0x60, new byte[] {1, 2}),
            new CANMessage(0x7ff, new byte[] {9})};
        bus.canMessagesSendArray = new CANMessage[] {new CANMessage(0x60, new byte[] {1, 2}),
            new CANMessage(0x61, new byte[] {3})};
        assertTrue(bus.await(() -> bus.bulkNotifications.get() == 1));
        assertEquals(List.of("can0 id=0x60 len=2 flags=0x00 data=01 02", "can0 id=0x61 len=1 flags=0x00 data=03"),
                board.sent(0));
        bus.writeSleeptime = 0;
    }

    @Test
    void bulkTransferFailsAfterThreeAttempts() throws Exception {
        board.ctl("self", "0", "on");
        open(false);
        bus.writeSleeptime = 50_000_000L;
        bus.closeCanDevice();
        bus.fd = bus.openCanDevice();
        startReader();
        bus.canMessagesReveiceArray = new CANMessage[] {new CANMessage(0x60, new byte[] {1, 3})};
        bus.canMessagesSendArray = new CANMessage[] {new CANMessage(0x60, new byte[] {1, 2}),
            new CANMessage(0x61, new byte[] {3})};
        bus.canMessagesReveiceArray = new CANMessage[] {new CANMessage(0x60, new byte[] {1, 3}),
            new CANMessage(0x61, new byte[] {3})};
        reader.join(WAIT);
        assertFalse(reader.isAlive());
        assertTrue(readerEnd instanceof CANBusException, "reader ended with " + readerEnd);
        assertEquals("Max Retry by send messages", readerEnd.getMessage());
        assertEquals(0, bus.bulkNotifications.get());
        List<String> sent = board.sent(0);
        assertEquals(3, sent.size(), sent.toString());
        assertTrue(sent.stream().allMatch(s -> s.equals("can0 id=0x60 len=2 flags=0x00 data=01 02")));
        reader = null;
    }

    @Test
    void bulkArraysOfDifferentLengthOrWithNullElementsSendNothing() throws Exception {
        open(false);
        startReader();
        bus.canMessagesReveiceArray = new CANMessage[3];
        bus.canMessagesSendArray = new CANMessage[2];
        reader.join(WAIT);
        assertTrue(readerEnd instanceof IllegalArgumentException, "reader ended with " + readerEnd);
        assertEquals("Send array an receive array not the same size", readerEnd.getMessage());
        readerEnd = null;
        bus.canMessagesReveiceArray = new CANMessage[] {new CANMessage(1, null), null};
        bus.canMessagesSendArray = new CANMessage[] {new CANMessage(1, null), new CANMessage(2, null)};
        startReader();
        reader.join(WAIT);
        assertTrue(readerEnd instanceof IllegalArgumentException, "reader ended with " + readerEnd);
        assertEquals("null element in send or receive array", readerEnd.getMessage());
        readerEnd = null;
        bus.canMessagesReveiceArray = new CANMessage[0];
        bus.canMessagesSendArray = new CANMessage[0];
        startReader();
        assertTrue(bus.await(() -> bus.bulkNotifications.get() == 1));
        assertTrue(board.sent(0).isEmpty());
    }

    @Test
    void closingWakesAReaderBlockedOnASilentBus() throws Exception {
        open(true, new CANMessageFilter(-1, 0));
        CheckTimeoutTimerTask watchdog = new CheckTimeoutTimerTask();
        watchdog.checkAndResetTimeoutFlag();
        startReader();
        Thread.sleep(300);
        assertFalse(watchdog.checkAndResetTimeoutFlag(), "a blocked read finished a cycle");
        long start = System.nanoTime();
        bus.closeCanDevice();
        reader.join(WAIT);
        assertFalse(reader.isAlive(), "reader still blocked after close");
        assertTrue(readerReturned, "reader ended with " + readerEnd);
        assertTrue(System.nanoTime() - start < 5_000_000_000L);
        bus.fd = -1;
        reader = null;
    }

    @Test
    void negativeFdEndsABlockedReaderAndAVanishedDeviceRaises() throws Exception {
        open(true);
        startReader();
        Thread.sleep(200);
        stopReader();
        assertTrue(readerReturned, "reader ended with " + readerEnd);

        readerReturned = false;
        startReader();
        Thread.sleep(200);
        board.ctl("vanish", "0");
        reader.join(WAIT);
        assertFalse(reader.isAlive());
        assertTrue(readerEnd instanceof IOException, "reader ended with " + readerEnd);
        assertEquals("No such device", readerEnd.getMessage());
        reader = null;
        bus.closeCanDevice();
        bus.fd = -1;
        board.ctl("appear", "0");
    }

    @Test
    void anExceptionFromACallbackEndsTheLoop() throws Exception {
        bus = new RecordingBus("/dev/can0", false) {
            @Override
            synchronized void fireCANBusEvent(CANBusEvent event) {
                throw new IllegalStateException("listener failed on " + ((CANMessage) event).id);
            }
        };
        bus.baud = 1000;
        bus.sleeptime = 5;
        bus.filterArray = new CANMessageFilter[] {new CANMessageFilter(-1, 0)};
        bus.fd = bus.openCanDevice();
        startReader();
        board.ctl("frame", "0x31", "01");
        reader.join(WAIT);
        assertFalse(reader.isAlive());
        assertTrue(readerEnd instanceof IllegalStateException, "reader ended with " + readerEnd);
        assertEquals("listener failed on 49", readerEnd.getMessage());
        reader = null;
    }

    /**
     * The driver lets only a node's first open configure it and leaves a reset controller stopped: the
     * application's reset restarts reception, a later open keeps the node's rate and cannot reset it, and
     * it hears what the first open writes.
     */
    @Test
    void resetRestartsReceptionAndALaterOpenCannotConfigure() throws Exception {
        RecordingBus first = new RecordingBus("/dev/can0", false);
        first.baud = 250;
        first.fd = first.openCanDevice();
        try {
            open(true, new CANMessageFilter(-1, -1));
            assertTrue(board.ctl("show").contains("can0 present=1 running=1 state=active baud=250 "),
                    "the first open's rate stays");
            for (Executable command : List.<Executable>of(bus::reset, bus::resetCloseAndOpen)) {
                assertEquals("Operation not permitted", assertThrows(CANBusException.class, command).getMessage());
            }
            startReader();
            first.writeMessage(new CANMessage(0x42, new byte[] {7}));
            assertTrue(bus.awaitEvents(1));
            first.reset();
            first.resetCloseAndOpen();
            board.ctl("frame", "0x43", "01");
            assertTrue(bus.awaitEvents(2), "reception runs again after reset");
            assertEquals(0x43, bus.events().get(1).id);
            assertTrue(board.ctl("requests", "0").endsWith(
                    "can0 command reset\ncan0 command start\ncan0 command stop\ncan0 command start\n"));
        } finally {
            first.closeCanDevice();
        }
    }

    /** Records waiting in the receive queue, drained by the loop in reads of 100: its capacity. */
    @Test
    void queuedRecordsIntoJava() throws Exception {
        int count = NativeLibraries.onTarget() ? 1000 : 9000;
        open(true, new CANMessageFilter(-1, -1));
        board.ctl("traffic", "20000", "fixed", "0x100", "8", "count", Integer.toString(count));
        long end = System.currentTimeMillis() + WAIT;
        while (!board.ctl("show").contains("traffic sent=" + count) && System.currentTimeMillis() < end) {
            Thread.sleep(50);
        }
        long t0 = System.nanoTime();
        startReader();
        assertTrue(bus.awaitEvents(count), "events: " + bus.events().size());
        long wall = System.nanoTime() - t0;
        assertEquals(count, bus.events().size());
        System.out.printf("can loop, queued: %d records in %.3f s: %.0f records/s, %.1f x a saturated bus%n", count,
                wall / 1e9, count / (wall / 1e9), count / (wall / 1e9) / 9000.0);
    }

    /**
     * Saturated bus into Java: every record reported (a counter in the data, one data-change
     * filter for all identifiers), none lost; prints the rate and the reader's CPU capacity.
     */
    @Test
    void saturatedBusIntoJavaLosesNothing() throws Exception {
        boolean target = NativeLibraries.onTarget();
        int count = target ? 1000 : 9000;
        int rate = target ? 1000 : 20000;  // the bus caps it at about 9,000/s
        open(true, new CANMessageFilter(-1, -1));
        startReader();
        ThreadMXBean threads = ManagementFactory.getThreadMXBean();
        long cpu0 = threads.getThreadCpuTime(reader.getId());
        long t0 = System.nanoTime();
        board.ctl("traffic", Integer.toString(rate), "fixed", "0x100", "8", "count", Integer.toString(count));
        assertTrue(bus.awaitEvents(count), "events: " + bus.events().size());
        long wall = System.nanoTime() - t0;
        long cpu = threads.getThreadCpuTime(reader.getId()) - cpu0;
        List<CANMessage> events = bus.events();
        assertEquals(count, events.size());
        for (CANMessage m : events) {
            assertEquals(0, m.flags & 0x82, "overrun flagged");
        }
        System.out.printf("can loop: %d records in %.3f s (%.0f/s), reader CPU %.3f s: %.0f records/s capacity,"
                        + " %.1f x a saturated bus%n",
                count, wall / 1e9, count / (wall / 1e9), cpu / 1e9, count / (cpu / 1e9),
                count / (cpu / 1e9) / 9000.0);
    }
}
