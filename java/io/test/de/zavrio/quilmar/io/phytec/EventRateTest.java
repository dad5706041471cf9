package de.zavrio.quilmar.io.phytec;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;

import de.zavrio.quilmar.test.NativeLibraries;
import java.time.Duration;
import java.time.Instant;
import java.util.Arrays;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * Events per second from the driver into Java, and the time from an edge
 * (its record's event time) to addEvent. Prints the figures for BENCHMARKS.md.
 */
class EventRateTest {
    @Test
    void throughputAndLatency() throws Exception {
        NativeLibraries.load("ionative");
        final boolean target = NativeLibraries.onTarget();
        final int burst = target ? 1000 : 5000;
        final int edges = target ? 100 : 400;
        try (GpioBoard board = new GpioBoard("gpio")) {
            QuilmarIOPhytecImpl io = new QuilmarIOPhytecImpl();
            Thread reader = new Thread(() -> {
                try {
                    io.readEvents();
                } catch (Exception e) {
                    throw new AssertionError(e);
                }
            }, "io-reader");
            reader.start();
            while (!board.shown("inF").endsWith("opens=1")) {
                Thread.sleep(10);
            }

            // Throughput: a burst queued at once on one input.
            long start = System.nanoTime();
            board.gpio("burst", "0", Integer.toString(burst));
            int last = 0;
            for (int i = 0; i < burst; i++) {
                QuilmarIOPhytecImpl.Delivery d = io.events.poll(GpioBoard.WAIT_MS, TimeUnit.MILLISECONDS);
                assertNotNull(d, "burst event " + i);
                assertEquals(last + 1, d.event().sequenceNumber);
                last = d.event().sequenceNumber;
            }
            double seconds = (System.nanoTime() - start) / 1e9;

            // Latency: single edges 5 ms apart.
            board.gpio("train", "1", Integer.toString(edges), "5");
            long[] micros = new long[edges];
            for (int i = 0; i < edges; i++) {
                QuilmarIOPhytecImpl.Delivery d = io.events.poll(GpioBoard.WAIT_MS, TimeUnit.MILLISECONDS);
                assertNotNull(d, "edge " + i);
                Instant edge = Instant.ofEpochSecond(d.event().eventSeconds, d.event().eventNanos);
                micros[i] = Duration.between(edge, d.arrived()).toNanos() / 1000;
            }
            Arrays.sort(micros);
            System.out.printf("ionative events: %d in %.3f s = %.0f events/s into Java; edge to addEvent: "
                    + "median %d us, p99 %d us (%d edges)%n", burst, seconds, burst / seconds, micros[edges / 2],
                    micros[(int) Math.ceil(edges * 0.99) - 1], edges);
            io.stopReadEvents();
            reader.join(GpioBoard.WAIT_MS);
            assertFalse(reader.isAlive());
            board.assertNoViolations();
        }
    }
}
