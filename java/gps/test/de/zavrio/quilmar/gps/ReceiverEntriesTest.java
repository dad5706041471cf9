package de.zavrio.quilmar.gps;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import de.zavrio.quilmar.gps.records.GGA;
import de.zavrio.quilmar.test.NativeLibraries;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.List;
import org.junit.jupiter.api.Test;

/** The entries beside the reader loop: device, commands, setters and the self test. */
class ReceiverEntriesTest extends ReceiverFixture {

    @Test
    void aMissingDeviceRaisesFileNotFoundWithItsPath() throws Exception {
        gps.closeSerialDevice();
        GPSReceiver other = new GPSReceiver();
        FileNotFoundException e = assertThrows(FileNotFoundException.class,
                () -> other.openSerialDevice("/dev/nonexistent-gps", 4800));
        assertEquals("/dev/nonexistent-gps", e.getMessage());
        // The descriptor is gone: closing again fails, reading fails at once.
        IOException close = assertThrows(IOException.class, other::closeSerialDevice);
        assertEquals("cannot close device", close.getMessage());
        IOException read = assertThrows(IOException.class, other::startReading);
        assertEquals("errno: EBADF", read.getMessage());
    }

    @Test
    void aDeviceThatIsNoLineCannotBeConfigured() throws Exception {
        gps.closeSerialDevice();
        GPSReceiver other = new GPSReceiver();
        IOException e = assertThrows(IOException.class, () -> other.openSerialDevice("/dev/null", 4800));
        assertEquals("cannot configure device", e.getMessage());
        assertEquals("cannot close device", assertThrows(IOException.class, other::closeSerialDevice).getMessage());
    }

    @Test
    void closingInATightLoopAlwaysEndsTheReaderWithEBADF() throws Exception {
        int rounds = NativeLibraries.onTarget() ? 20 : 200;
        gps.closeSerialDevice();
        for (int round = 0; round < rounds; round++) {
            gps.openSerialDevice(sim.path(), 4800);
            Throwable[] end = new Throwable[1];
            Thread t = new Thread(() -> {
                try {
                    gps.startReading();
                } catch (Throwable e) {
                    end[0] = e;
                }
            });
            t.start();
            if (round % 3 == 0) {
                goodPair(round);
            }
            if (round % 2 == 0) {
                Thread.sleep(1);
            }
            gps.closeSerialDevice();
            t.join(WAIT);
            assertFalse(t.isAlive(), "round " + round);
            IOException e = assertInstanceOf(IOException.class, end[0], "round " + round);
            assertEquals("errno: EBADF", e.getMessage(), "round " + round);
        }
        gps.openSerialDevice(sim.path(), 4800);
    }

    @Test
    void commandsReachTheReceiverFramedOrAsTheyAre() throws Exception {
        gps.writeCmd("$PSRF103,00,01,00,01*");
        gps.writeVendorSpecificCmd(new byte[] {(byte) 0xA0, (byte) 0xA2, 0x00, 0x02});
        String framed = Nmea.sentence("PSRF103,00,01,00,01") + "\\x0D\\x0A";
        String expected = framed + "\\xA0\\xA2\\x00\\x02";
        long deadline = System.currentTimeMillis() + WAIT;
        while (!sim.received().equals(expected) && System.currentTimeMillis() < deadline) {
            sim.await(l -> l.startsWith("rx "), 100);
            Thread.sleep(10);
        }
        assertEquals(expected, sim.received());
        // A command whose framed form exceeds 120 bytes is refused, not cut.
        IOException e = assertThrows(IOException.class, () -> gps.writeCmd("$" + "A".repeat(120) + "*"));
        assertEquals("cannot write command", e.getMessage());
        gps.closeSerialDevice();
        e = assertThrows(IOException.class, () -> gps.writeCmd("$PSRF*"));
        assertEquals("cannot write command", e.getMessage());
        e = assertThrows(IOException.class, () -> gps.writeVendorSpecificCmd("x".getBytes(StandardCharsets.US_ASCII)));
        assertEquals("cannot write command", e.getMessage());
        assertEquals(expected, sim.received());
    }

    @Test
    void negativeThresholdsAreRefusedAndLeaveTheOldValue() {
        gps.setSatellitThreshold(4);
        IllegalArgumentException e = assertThrows(IllegalArgumentException.class, () -> gps.setSatellitThreshold(-1));
        assertEquals("parameter cannot be less then 0", e.getMessage());
        assertEquals(4, gps.getSatellitThreshold());
        gps.setSatellitThreshold(0);
        assertEquals(0, gps.getSatellitThreshold());
        e = assertThrows(IllegalArgumentException.class, () -> gps.setHdopThreshold(-0.5f));
        assertEquals("parameter cannot be less then 0", e.getMessage());
        gps.setHdopThreshold(0.0f);
        for (Runnable r : List.<Runnable>of(() -> gps.setHdopThreshold(Float.NaN),
                () -> gps.setGeofencingSpeedThreshold(Float.NaN), () -> gps.setAngleTriggerSpeedTreshold(Float.NaN))) {
            assertEquals("parameter is not a number", assertThrows(IllegalArgumentException.class, r::run).getMessage());
        }
        List<Runnable> refused = List.of(() -> gps.setSatellitCounterThreshold(-1), () -> gps.setSpeedJumpCounterThreshold(-1),
                () -> gps.setHeightJumpCounterThreshold(-1), () -> gps.setSpeedJumpThreshold(-1),
                () -> gps.setHeightJumpThreshold(-1), () -> gps.setRmcValidCounterThreshold(-1),
                () -> gps.setHdopCounterThreshold(-1), () -> gps.setAngleTriggerTreshold(-1),
                () -> gps.setGeofencingSpeedThreshold(-0.01f), () -> gps.setAngleTriggerSpeedTreshold(-1f));
        for (Runnable r : refused) {
            assertEquals("parameter cannot be less then 0", assertThrows(IllegalArgumentException.class, r::run).getMessage());
        }
        gps.setSatellitCounterThreshold(12);
        gps.setHdopCounterThreshold(13);
        assertEquals(12, gps.getSatellitCounterThreshold());
        assertEquals(13, gps.getHdopCounterThreshold());
        gps.setDistanceTracker(true);
        assertTrue(gps.isDistanceTracker());
        gps.setDistanceTracker(false);
        assertFalse(gps.isDistanceTracker());
    }

    @Test
    void altitudeSplitsIntoMetresAndThousandthsWithItsSign() throws Exception {
        startReader();
        gps.getRecordRecordName = "GGA";
        gps.fireNext = true;
        sim.nmea(Nmea.gga(0, '1', 8, 1.0, 512.25, Nmea.LAT, Nmea.LON));
        assertTrue(gps.awaitCallbacks("record", 1, WAIT));
        gps.getRecordRecordName = "GGA";
        gps.fireNext = true;
        sim.nmea(Nmea.gga(1, '1', 8, 1.0, -3.5, Nmea.LAT, Nmea.LON));
        assertTrue(gps.awaitCallbacks("record", 2, WAIT));
        List<GPSReceiver.Callback> records = records();
        GGA high = (GGA) records.get(0).record();
        GGA low = (GGA) records.get(1).record();
        assertEquals(512, high.getAntennaAltitudeIntegerPart());
        assertEquals(250, high.getAntennaAltitudeDecimalPart());
        assertEquals(-3, low.getAntennaAltitudeIntegerPart());
        assertEquals(-500, low.getAntennaAltitudeDecimalPart());
    }

    @Test
    void theSelfTestRunsBesideARunningReader() throws Exception {
        startReader();
        goodPair(0);
        awaitPairs(1);
        gps.setNativeLogging(true);
        gps.dummy();
        gps.setNativeLogging(false);
        gps.dummy();
        goodPair(1);
        awaitPairs(2);
        assertTrue(gps.callbacks().stream().filter(c -> c.kind().equals("last")).allMatch(c -> c.event().isTrusted()));
    }
}
