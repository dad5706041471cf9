package de.zavrio.quilmar.io.can;

import static org.junit.jupiter.api.Assertions.assertFalse;

import de.zavrio.quilmar.test.NativeLibraries;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;

/** The CAN classes initialised as the application does, and a bus whose callbacks record. */
abstract class CanFixture {
    /** Generous: the target's JVM runs under emulation. */
    static final long WAIT = 60_000;

    @BeforeAll
    static void load() {
        NativeLibraries.load("cannative");
        CANBus.initNativeIds();
        CANMessage.initNativeIds();
        CANMessageFilter.initNativeIds();
    }

    /** A bus that keeps what the library reports and counts the reader's cycles. */
    static class RecordingBus extends CANBus {
        final List<CANMessage> events = new ArrayList<>();
        final AtomicInteger cycles = new AtomicInteger();
        final AtomicInteger filteredNotifications = new AtomicInteger();
        final AtomicInteger sendNotifications = new AtomicInteger();
        final AtomicInteger bulkNotifications = new AtomicInteger();

        RecordingBus(String device, boolean blocking) {
            super(device, 500, blocking);
            filterArray = new CANMessageFilter[0];
        }

        @Override
        synchronized void fireCANBusEvent(CANBusEvent event) {
            events.add((CANMessage) event);
            notifyAll();
        }

        @Override
        boolean isMessageReadyToWrite() {
            cycles.incrementAndGet();
            return super.isMessageReadyToWrite();
        }

        @Override
        synchronized void notifyAboutMessageSend() {
            sendNotifications.incrementAndGet();
            notifyAll();
        }

        @Override
        synchronized void notifyAboutBulkMessages() {
            bulkNotifications.incrementAndGet();
            super.notifyAboutBulkMessages();
        }

        @Override
        synchronized void notifyAboutFilteredMessage() {
            filteredNotifications.incrementAndGet();
            notifyAll();
        }

        synchronized List<CANMessage> events() {
            return new ArrayList<>(events);
        }

        /** Waits until `n` events arrived; false on time-out. */
        synchronized boolean awaitEvents(int n) throws InterruptedException {
            long end = System.currentTimeMillis() + WAIT;
            while (events.size() < n) {
                long left = end - System.currentTimeMillis();
                if (left <= 0) {
                    return false;
                }
                wait(left);
            }
            return true;
        }

        /** Waits for a condition checked under the bus's monitor. */
        synchronized boolean await(java.util.function.BooleanSupplier done) throws InterruptedException {
            long end = System.currentTimeMillis() + WAIT;
            while (!done.getAsBoolean()) {
                long left = end - System.currentTimeMillis();
                if (left <= 0) {
                    return false;
                }
                wait(Math.min(left, 50));
            }
            return true;
        }
    }

    RecordingBus bus;
    Thread reader;
    volatile Throwable readerEnd;
    volatile boolean readerReturned;

    void startReader() {
        reader = new Thread(() -> {
            try {
                bus.readMessages();
                readerReturned = true;
            } catch (Throwable t) {
                readerEnd = t;
            }
        }, "can-reader");
        reader.start();
    }

    /** Stops the loop as the application does: fd negative, then wait for the reader. */
    void stopReader() throws InterruptedException {
        if (reader == null) {
            return;
        }
        int fd = bus.fd;
        bus.fd = -1;
        reader.join(WAIT);
        assertFalse(reader.isAlive(), "reader still running after fd was set negative");
        bus.fd = fd;
        reader = null;
    }

    @AfterEach
    void closeBus() throws Exception {
        stopReader();
        if (bus != null && bus.fd >= 0) {
            bus.closeCanDevice();
            bus.fd = -1;
        }
    }

    static CANMessageFilter[] filters(int n) {
        CANMessageFilter[] f = new CANMessageFilter[n];
        for (int i = 0; i < n; i++) {
            f[i] = new CANMessageFilter(0x100 + i, 10);
        }
        return f;
    }
}
