package de.zavrio.quilmar.demo;

import de.zavrio.quilmar.io.QuilmarIOEvent;
import de.zavrio.quilmar.io.phytec.QuilmarIOEventImpl;
import de.zavrio.quilmar.io.phytec.QuilmarIOPhytecImpl;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * The board's IO: digital input events as they happen, and every 5 s the
 * temperature and the two analog inputs read, the green LED and output 0
 * switched.
 */
final class IoPart implements Part {
    private static final long READ_PERIOD_MS = 5_000;

    private final AtomicInteger inputEvents = new AtomicInteger();
    private final AtomicInteger readings = new AtomicInteger();
    private volatile String ended = "running";
    private Board board;
    private Thread reader;
    private Thread sampler;

    /** The application's IO object: prints each input event. */
    private final class Board extends QuilmarIOPhytecImpl {
        @Override
        public void addEvent(QuilmarIOEvent event) {
            QuilmarIOEventImpl e = (QuilmarIOEventImpl) event;
            inputEvents.incrementAndGet();
            Console.line("io", String.format("input %X %s (sequence %d, edge at %d.%09d)", e.address,
                    e.booleanValue ? "high" : "low", e.sequenceNumber, e.eventSeconds, e.eventNanos));
        }
    }

    @Override
    public String name() {
        return "io";
    }

    @Override
    public void start() throws Exception {
        System.loadLibrary("ionative");
        board = new Board();
        reader = new Thread(() -> {
            try {
                board.readEvents();
                ended = "stopped";
            } catch (Exception e) {
                ended = "ended: " + e.getMessage();
            }
        }, "io reader");
        reader.start();
        Console.line("io", "reading the sixteen digital inputs");
        sampler = new Thread(this::sample, "io sampler");
        sampler.setDaemon(true);
        sampler.start();
    }

    private void sample() {
        boolean on = false;
        try {
            while (true) {
                on = !on;
                try {
                    int temperature = board.getTemperatureRaw(0);
                    int a0 = board.nativeGetAnalogInput(0);
                    int a1 = board.nativeGetAnalogInput(1);
                    board.nativeSetLED(0, on);
                    board.setDigitalOutput(0, on);
                    readings.incrementAndGet();
                    Console.line("io", String.format("temperature %d, analog %d %d; green LED and output 0 %s",
                            temperature, a0, a1, on ? "on" : "off"));
                } catch (Exception e) {
                    Console.line("io", "reading failed: " + e.getMessage());
                }
                Thread.sleep(READ_PERIOD_MS);
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    @Override
    public void stop() {
        if (board == null) {
            return;
        }
        sampler.interrupt();
        // A stop that comes before the reader's loop has started ends
        // nothing: repeated until the reader is gone (at most 5 s).
        try {
            for (int i = 0; i < 50 && reader.isAlive(); i++) {
                board.stopReadEvents();
                reader.join(100);
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    @Override
    public String summary() {
        return String.format("%d input events, %d rounds of analog readings and outputs; reader %s", inputEvents.get(),
                readings.get(), ended);
    }
}
