package de.zavrio.quilmar.io.can;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import de.zavrio.quilmar.test.NativeLibraries;
import java.io.IOException;
import org.junit.jupiter.api.Test;

/**
 * Entries that need no bus traffic: filter table limits, open and command failures, the watchdog
 * flag and the loop's pause rule, on a descriptor that never delivers a record (/dev/null).
 */
class CanEntriesTest extends CanFixture {
    @Test
    void filterTableIsCheckedBeforeAnyCycle() {
        bus = new RecordingBus("/dev/null", false);
        bus.filterArray = null;
        IllegalStateException e = assertThrows(IllegalStateException.class, bus::readMessages);
        assertEquals("filterArray is not initilized", e.getMessage());

        bus.filterArray = filters(101);
        e = assertThrows(IllegalStateException.class, bus::readMessages);
        assertEquals("filter array too long", e.getMessage());

        bus.filterArray = filters(5);
        bus.filterArray[3] = null;
        e = assertThrows(IllegalStateException.class, bus::readMessages);
        assertEquals("problem during copy filter", e.getMessage());
        assertEquals(0, bus.cycles.get());
    }

    @Test
    void hundredFiltersWithShortAndMissingArraysLoadAndANegativeFdRunsNoCycle() throws Exception {
        bus = new RecordingBus("/dev/null", false);
        CANMessageFilter[] f = filters(100);
        for (int i = 0; i < 100; i += 4) {
            f[i].interval = -1;
            f[i].mask = new byte[i % 9];  // 0..8 bytes: never read past the array
            f[i].delta = i % 8 == 0 ? null : new byte[12];
            f[i].trigger = new byte[1];
        }
        bus.filterArray = f;
        bus.fd = -1;
        bus.readMessages();
        assertEquals(0, bus.cycles.get());
    }

    @Test
    void openFailureAndCommandsOnAClosedDescriptor() {
        bus = new RecordingBus("/dev/can7", false);
        IOException open = assertThrows(IOException.class, bus::openCanDevice);
        assertEquals("cannot open can device", open.getMessage());

        bus.device = null;
        assertEquals("cannot open can device", assertThrows(IOException.class, bus::openCanDevice).getMessage());

        bus.fd = -1;
        assertEquals("Bad file descriptor", assertThrows(IOException.class, bus::closeCanDevice).getMessage());
        // qemu-arm refuses the driver's request numbers before they reach the kernel.
        String refused = NativeLibraries.onTarget() ? "Function not implemented" : "Bad file descriptor";
        assertEquals(refused, assertThrows(CANBusException.class, bus::reset).getMessage());
        assertEquals(refused, assertThrows(CANBusException.class, bus::resetCloseAndOpen).getMessage());
        IllegalArgumentException nothing =
                assertThrows(IllegalArgumentException.class, () -> bus.writeMessage(null));
        assertEquals("message is null", nothing.getMessage());
    }

    @Test
    void watchdogFlagIsSetByCyclesAndClearedByTheCheck() throws Exception {
        CheckTimeoutTimerTask task = new CheckTimeoutTimerTask();
        task.checkAndResetTimeoutFlag();
        assertFalse(task.checkAndResetTimeoutFlag());

        bus = new RecordingBus("/dev/null", false);
        bus.sleeptime = 20;
        bus.fd = bus.openCanDevice();
        startReader();
        assertTrue(bus.await(() -> bus.cycles.get() >= 2));
        stopReader();
        assertTrue(readerReturned, "reader ended with " + readerEnd);
        assertTrue(task.checkAndResetTimeoutFlag());
        assertFalse(task.checkAndResetTimeoutFlag());
        task.run();
        assertFalse(task.readerAlive);
    }

    /** Cycles in `millis` ms of a reader with the given mode and pause. */
    private int cyclesIn(boolean blocking, long sleeptime, long millis) throws Exception {
        bus = new RecordingBus("/dev/null", blocking);
        bus.sleeptime = sleeptime;
        bus.fd = bus.openCanDevice();
        startReader();
        assertTrue(bus.await(() -> bus.cycles.get() >= 1));
        int before = bus.cycles.get();
        Thread.sleep(millis);
        int cycles = bus.cycles.get() - before;
        stopReader();
        closeBus();
        return cycles;
    }

    @Test
    void nonBlockingLoopPausesAfterAnEmptyCycleBlockingNever() throws Exception {
        int paused = cyclesIn(false, 250, 1000);
        assertTrue(paused >= 2 && paused <= 5, "250 ms pause: " + paused + " cycles in 1 s");
        int longPause = cyclesIn(false, 1500, 1000);
        assertTrue(longPause <= 1, "1.5 s pause: " + longPause + " cycles in 1 s");
        // No pause at all: far more cycles than any paused loop.
        assertTrue(cyclesIn(false, 0, 300) > 20);
        assertTrue(cyclesIn(true, 1000, 300) > 20);
    }
}
