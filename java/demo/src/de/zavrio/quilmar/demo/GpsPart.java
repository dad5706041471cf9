package de.zavrio.quilmar.demo;

import de.zavrio.quilmar.gps.GPSPositionEvent;
import de.zavrio.quilmar.gps.GPSReceiver;
import de.zavrio.quilmar.gps.records.GGA;
import de.zavrio.quilmar.gps.records.NMEARecord;
import de.zavrio.quilmar.gps.records.RMC;
import java.util.concurrent.atomic.AtomicInteger;

/** Position events from the GPS receiver: a time trigger and a distance trigger. */
final class GpsPart implements Part {
    private final String device;
    private final AtomicInteger pairs = new AtomicInteger();
    private final AtomicInteger events = new AtomicInteger();
    private volatile int trackedCm;
    private volatile String ended = "running";
    private volatile boolean stopping;
    private Receiver receiver;
    private Thread reader;

    GpsPart(String device) {
        this.device = device;
    }

    /** The application's receiver: prints what the library reports. */
    private final class Receiver extends GPSReceiver {
        @Override
        protected void fireGPSpositionEvent(GPSPositionEvent event) {
            events.incrementAndGet();
            trackedCm = event.getTrackedDistance();
            Console.line("gps", describe(event));
        }

        @Override
        protected void lastPositionNativeCallback(GPSPositionEvent event) {
            pairs.incrementAndGet();
        }
    }

    @Override
    public String name() {
        return "gps";
    }

    @Override
    public void start() throws Exception {
        System.loadLibrary("gpsnative");
        receiver = new Receiver();
        // Fix quality: 4 satellites, HDOP 6, and 10 to 12 good pairs in a
        // row before a fix is trusted (short, for a short log).
        receiver.setSatellitThreshold(4);
        receiver.setHdopThreshold(6.0f);
        receiver.setHeightJumpThreshold(60);
        receiver.setSpeedJumpThreshold(50);
        receiver.setRmcValidCounterThreshold(10);
        receiver.setSpeedJumpCounterThreshold(12);
        receiver.setSatellitCounterThreshold(10);
        receiver.setHdopCounterThreshold(10);
        receiver.setHeightJumpCounterThreshold(12);
        receiver.timeTrigger = 10;
        receiver.distanceTrigger = new float[][] {{1000.0f, 20.0f}};
        receiver.setDistanceTracker(true);
        receiver.setNativeLogging(Boolean.getBoolean("demo.gpsdebug"));
        receiver.openSerialDevice(device, 4800);
        Console.line("gps", "receiver open on " + device + ": time trigger 10 s, distance trigger 20 m");
        reader = new Thread(() -> {
            try {
                receiver.startReading();
                ended = "stopped";
            } catch (Exception e) {
                // Closing the device is how a reader that waits for data is ended.
                ended = stopping ? "stopped" : "ended: " + e.getMessage();
            }
        }, "gps reader");
        reader.start();
    }

    @Override
    public void stop() {
        if (receiver == null) {
            return;
        }
        stopping = true;
        receiver.stopRequest = true;
        try {
            receiver.closeSerialDevice();
            reader.join(5000);
        } catch (Exception e) {
            ended = "close failed: " + e.getMessage();
        }
    }

    @Override
    public String summary() {
        return String.format("%d RMC/GGA pairs read, %d position events, last tracked distance %d cm; reader %s",
                pairs.get(), events.get(), trackedCm, ended);
    }

    private static String describe(GPSPositionEvent event) {
        RMC rmc = null;
        GGA gga = null;
        for (NMEARecord record : event.getRecords()) {
            if (record instanceof RMC r) {
                rmc = r;
            } else if (record instanceof GGA g) {
                gga = g;
            }
        }
        StringBuilder line = new StringBuilder(reason(event.getType()));
        if (rmc != null) {
            line.append(String.format(" %s lat %.5f lon %.5f %.1f kn", rmc.getDateTime(), rmc.getLatitude().getDegrees(),
                    rmc.getLongitude().getDegrees(), rmc.getSpeed()));
        }
        if (gga != null) {
            line.append(String.format(", %d satellites, HDOP %.1f", gga.getNumberOfSatellites(), gga.getHdop()));
        }
        line.append(String.format(", tracked %d cm%s", event.getTrackedDistance(), event.isTrusted() ? "" : ", not trusted"));
        return line.toString();
    }

    private static String reason(int type) {
        return switch (type) {
            case GPSPositionEvent.SPEED_BAND -> "speed band";
            case GPSPositionEvent.DISTANCE -> "distance";
            case GPSPositionEvent.QUALITY_LOST -> "quality lost";
            case GPSPositionEvent.QUALITY_RESTORED -> "quality restored";
            case GPSPositionEvent.TIME -> "time";
            case GPSPositionEvent.HEADING -> "heading";
            default -> "type " + type;
        };
    }
}
