package de.zavrio.quilmar.demo;

import de.zavrio.quilmar.io.can.DemoBus;
import de.zavrio.quilmar.io.can.CANMessageFilter;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * CAN events from the vehicle's traffic: engine data (0x100) at most once a
 * second, door states (0x200) whenever they change; everything else on the
 * bus is filtered out. Every 5 s the unit sends its own status (0x300).
 */
final class CanPart implements Part {
    private static final long SEND_PERIOD_MS = 5_000;

    private final String device;
    private final Map<Integer, Integer> reported = new TreeMap<>();
    private final AtomicInteger sent = new AtomicInteger();
    private volatile String ended = "running";
    private volatile boolean stopping;
    private DemoBus bus;
    private Thread reader;
    private Thread sender;

    CanPart(String device) {
        this.device = device;
    }

    @Override
    public String name() {
        return "can";
    }

    @Override
    public void start() throws Exception {
        DemoBus.loadLibrary();
        CANMessageFilter[] filters = {DemoBus.filter(0x100, 1000, null), DemoBus.filter(0x200, -1, new byte[] {(byte) 0xFF})};
        bus = new DemoBus(device, 250, filters, this::report);
        bus.open();
        Console.line("can", device + " open at 250 kbit/s: 0x100 once a second, 0x200 on change");
        reader = new Thread(() -> {
            try {
                bus.read();
                ended = "stopped";
            } catch (Exception e) {
                ended = stopping ? "stopped" : "ended: " + e.getMessage();
            }
        }, "can reader");
        reader.start();
        sender = new Thread(this::sendStatus, "can status");
        sender.setDaemon(true);
        sender.start();
    }

    private void report(DemoBus.Message m) {
        synchronized (reported) {
            reported.merge(m.id(), 1, Integer::sum);
        }
        StringBuilder data = new StringBuilder();
        for (byte b : m.data()) {
            data.append(String.format(" %02x", b));
        }
        Console.line("can", String.format("0x%03x [%d]%s at %d.%06d", m.id(), m.data().length, data, m.seconds(),
                m.microseconds()));
    }

    private void sendStatus() {
        try {
            for (int n = 0;; n++) {
                Thread.sleep(SEND_PERIOD_MS);
                bus.send(0x300, new byte[] {(byte) n, 0x55});
                sent.incrementAndGet();
                Console.line("can", String.format("sent 0x300 [2] %02x 55", n & 0xFF));
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        } catch (Exception e) {
            Console.line("can", "send failed: " + e.getMessage());
        }
    }

    @Override
    public void stop() {
        if (bus == null) {
            return;
        }
        stopping = true;
        sender.interrupt();
        try {
            bus.close();
            reader.join(5000);
        } catch (Exception e) {
            ended = "close failed: " + e.getMessage();
        }
    }

    @Override
    public String summary() {
        StringBuilder ids = new StringBuilder();
        int total = 0;
        synchronized (reported) {
            for (Map.Entry<Integer, Integer> e : reported.entrySet()) {
                ids.append(String.format(" 0x%03x x%d", e.getKey(), e.getValue()));
                total += e.getValue();
            }
        }
        return String.format("%d events reported (%s), %d messages sent; reader %s", total,
                ids.length() == 0 ? "none" : ids.substring(1), sent.get(), ended);
    }
}
