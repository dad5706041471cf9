package de.zavrio.quilmar.demo;

import de.zavrio.quilmar.io.linux.comm.channel.wifi.wpasupplicant.control.impl.ControlInterfaceImpl;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * The Wi-Fi supplicant: requests on the command connection, unsolicited
 * events from the receive loop on a thread of its own.
 */
final class WifiPart implements Part {
    private static final String[] REQUESTS = {"PING", "STATUS", "SCAN", "INTERFACES"};
    private static final long SCAN_PERIOD_MS = 10_000;

    private final String socket;
    private final AtomicInteger requests = new AtomicInteger();
    private final AtomicInteger events = new AtomicInteger();
    private volatile String ended = "running";
    private ControlInterfaceImpl commands;
    private ControlInterfaceImpl eventConnection;
    private Thread eventLoop;
    private Thread scanner;

    WifiPart(String socket) {
        this.socket = socket;
    }

    @Override
    public String name() {
        return "wifi";
    }

    @Override
    public void start() throws Exception {
        commands = new ControlInterfaceImpl(socket, e -> {});
        commands.openCommandInterface(socket);
        eventConnection = new ControlInterfaceImpl(socket, event -> {
            events.incrementAndGet();
            Console.line("wifi", "event " + event.trim());
        });
        eventLoop = new Thread(() -> {
            try {
                eventConnection.openEventInterface(socket);
                ended = "stopped";
            } catch (Exception e) {
                ended = "ended: " + e.getMessage();
            }
        }, "wifi events");
        eventLoop.setDaemon(true);
        eventLoop.start();
        for (String request : REQUESTS) {
            request(request);
        }
        scanner = new Thread(() -> {
            try {
                while (true) {
                    Thread.sleep(SCAN_PERIOD_MS);
                    request("SCAN");
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }, "wifi scan");
        scanner.setDaemon(true);
        scanner.start();
    }

    private void request(String request) {
        try {
            String reply = commands.wpaCtrlRequestNative(request);
            requests.incrementAndGet();
            String shown = reply.trim().replace("\n", " | ");
            Console.line("wifi", request + " -> " + (shown.length() > 90 ? shown.substring(0, 90) + " ..." : shown));
        } catch (Exception e) {
            Console.line("wifi", request + " failed: " + e.getMessage());
        }
    }

    @Override
    public void stop() {
        if (scanner != null) {
            scanner.interrupt();
        }
        if (eventConnection != null) {
            eventConnection.stopRequest = true;
            try {
                eventConnection.closeEventInterface();
                eventLoop.join(5000);
            } catch (Exception e) {
                ended = "close failed: " + e.getMessage();
            }
        }
        if (commands != null) {
            commands.closeCommandInterface();
        }
    }

    @Override
    public String summary() {
        return String.format("%d requests answered, %d unsolicited events; event loop %s", requests.get(), events.get(),
                ended);
    }
}
