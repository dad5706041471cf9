package de.zavrio.quilmar.gps;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import de.zavrio.quilmar.test.NativeLibraries;
import java.io.IOException;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;

/** A receiver on a fresh simulated line, with the library's settings at their defaults. */
abstract class ReceiverFixture {
    /** Generous: the target's JVM runs under emulation. */
    static final long WAIT = 60_000;

    GpsSimulator sim;
    GPSReceiver gps;
    Thread reader;
    volatile Throwable readerEnd;

    @BeforeAll
    static void load() {
        NativeLibraries.load("gpsnative");
    }

    @BeforeEach
    void openLine() throws Exception {
        sim = GpsSimulator.start();
        gps = new GPSReceiver();
        gps.setSatellitThreshold(4);
        gps.setHdopThreshold(6.0f);
        gps.setHeightJumpThreshold(60);
        gps.setSpeedJumpThreshold(50);
        gps.setRmcValidCounterThreshold(30);
        gps.setSpeedJumpCounterThreshold(35);
        gps.setSatellitCounterThreshold(30);
        gps.setHdopCounterThreshold(30);
        gps.setHeightJumpCounterThreshold(35);
        gps.setDistanceTracker(false);
        gps.setAngleTracker(false);
        gps.setAngleTriggerTreshold(90);
        gps.setAngleTriggerSpeedTreshold(16.19f);
        gps.setGeofencingSpeedThreshold(2.0f);
        gps.openSerialDevice(sim.path(), 4800);
    }

    void startReader() {
        reader = new Thread(() -> {
            try {
                gps.startReading();
                readerEnd = new AssertionError("startReading returned without exception");
            } catch (Throwable t) {
                readerEnd = t;
            }
        }, "gps-reader");
        reader.start();
    }

    /** Ends the reader by closing the device, as the application does. */
    @AfterEach
    void closeLine() throws Exception {
        try {
            gps.closeSerialDevice();
        } catch (IOException e) {
            // already closed by the test
        }
        if (reader != null) {
            reader.join(WAIT);
            assertTrue(!reader.isAlive(), "reader still running after close");
        }
        sim.close();
    }

    /** Sends one good pair (RMC then GGA) at 12:00:00 + seconds. */
    void goodPair(int seconds) throws IOException {
        pair(seconds, 'A', Nmea.LAT, 10.0, 0.0, '1', 8, 1.0, 40.0);
    }

    void pair(int seconds, char status, String lat, double speed, double course, char fix, int satellites, double hdop,
            double altitude) throws IOException {
        sim.nmea(Nmea.rmc(seconds, status, lat, Nmea.LON, speed, course));
        sim.nmea(Nmea.gga(seconds, fix, satellites, hdop, altitude, lat, Nmea.LON));
    }

    /**
     * Waits until n pairs were evaluated and the evaluation of the last one has
     * ended: a ZDA sentence requested with fireNext comes back only after the
     * loop has finished everything sent before it.
     */
    void awaitPairs(int n) throws Exception {
        assertTrue(gps.awaitCallbacks("last", n, WAIT), "pairs evaluated: " + count("last") + " of " + n);
        settle();
    }

    void settle() throws Exception {
        long before = count("record");
        gps.getRecordRecordName = "ZDA";
        gps.fireNext = true;
        sim.nmea("GPZDA,120000.000,28,04,2006,,");
        assertTrue(gps.awaitCallbacks("record", (int) before + 1, WAIT), "loop did not settle");
    }

    /** Records delivered through fireNext, without the markers of settle. */
    List<GPSReceiver.Callback> records() {
        return gps.callbacks().stream().filter(c -> c.kind().equals("record"))
                .filter(c -> !c.record().getRecordName().equals("ZDA")).toList();
    }

    long count(String kind) {
        return gps.callbacks().stream().filter(c -> c.kind().equals(kind)).count();
    }

    List<GPSReceiver.Callback> positions() {
        return gps.callbacks().stream().filter(c -> c.kind().equals("position")).toList();
    }

    /** The UTC time integer of an event's RMC. */
    static int eventTime(GPSPositionEvent event) {
        String text = event.getRecords().get(0).getRecord();
        return Integer.parseInt(text.substring(7, 13));
    }

    /** Brings the fix to validated: 35 good pairs from second 0; returns the next free second. */
    int validate() throws Exception {
        for (int s = 0; s < 35; s++) {
            goodPair(s);
        }
        awaitPairs(35);
        assertEquals(1, positions().size(), "quality restored");
        return 35;
    }
}
