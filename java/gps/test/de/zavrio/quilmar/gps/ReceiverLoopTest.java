package de.zavrio.quilmar.gps;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import de.zavrio.quilmar.gps.records.GGA;
import de.zavrio.quilmar.gps.records.RMC;
import java.io.IOException;
import java.util.List;
import org.junit.jupiter.api.Test;

/** The whole reader loop through the JVM on the simulated receiver. */
class ReceiverLoopTest extends ReceiverFixture {

    @Test
    void qualityRestoredAtThe35thGoodPairAndEveryPairReachesJava() throws Exception {
        startReader();
        validate();
        List<GPSReceiver.Callback> all = gps.callbacks();
        assertEquals(35, all.stream().filter(c -> c.kind().equals("last")).count());
        assertTrue(all.stream().filter(c -> c.kind().equals("last")).allMatch(c -> c.event().isTrusted()));
        List<GPSReceiver.Callback> fired = positions();
        assertEquals(1, fired.size());
        GPSPositionEvent restored = fired.get(0).event();
        assertEquals(GPSPositionEvent.QUALITY_RESTORED, restored.getType());
        assertEquals(Nmea.timeInt(34), eventTime(restored));
        RMC rmc = assertInstanceOf(RMC.class, restored.getRecords().get(0));
        GGA gga = assertInstanceOf(GGA.class, restored.getRecords().get(1));
        assertEquals(176857770, rmc.getLatitude().getRadMilliseconds());
        assertEquals(1, rmc.getLatitude().getTyp());
        assertEquals(36084984, rmc.getLongitude().getRadMilliseconds());
        assertEquals(0, rmc.getLongitude().getTyp());
        assertEquals('A', rmc.getStatus());
        assertEquals(10.0f, rmc.getSpeed());
        assertEquals("RMC", rmc.getRecordName());
        assertEquals(Nmea.sentence(Nmea.rmc(34, 'A', Nmea.LAT, Nmea.LON, 10.0, 0.0)), rmc.getRecord());
        assertEquals(8, gga.getNumberOfSatellites());
        assertEquals(1.0f, gga.getHdop());
        assertEquals(40, gga.getAntennaAltitudeIntegerPart());
        assertTrue(rmc.getEventTimeSec() > 1_600_000_000L);
        assertTrue(gps.isRecordReadAndReset());
        assertFalse(gps.isRecordReadAndReset());
        assertTrue(gps.isDataReadAndReset());
        assertFalse(gps.isDataReadAndReset());
    }

    @Test
    void atAltitudeTheFirstPairIsAHeightJumpAndValidationComesAtThe36th() throws Exception {
        startReader();
        for (int s = 0; s < 36; s++) {
            pair(s, 'A', Nmea.LAT, 10.0, 0.0, '1', 8, 1.0, 400.0);
        }
        awaitPairs(36);
        List<GPSReceiver.Callback> fired = positions();
        assertEquals(1, fired.size());
        assertEquals(Nmea.timeInt(35), eventTime(fired.get(0).event()));
        GGA gga = (GGA) fired.get(0).event().getRecords().get(1);
        assertEquals(400, gga.getAntennaAltitudeIntegerPart());
        assertEquals(0, gga.getAntennaAltitudeDecimalPart());
    }

    @Test
    void qualityLostAfterThirtySkippedBadPairsAndRestoredAgain() throws Exception {
        startReader();
        int s = validate();
        gps.clearCallbacks();
        // 30 bad pairs are skipped by the grace counter; the 31st is judged.
        for (int i = 1; i <= 31; i++) {
            pair(s++, 'V', Nmea.LAT, 10.0, 0.0, '1', 8, 1.0, 40.0);
        }
        awaitPairs(31);
        List<GPSReceiver.Callback> fired = positions();
        assertEquals(1, fired.size(), "only quality lost");
        assertEquals(GPSPositionEvent.QUALITY_LOST, fired.get(0).event().getType());
        assertEquals(Nmea.timeInt(s - 1), eventTime(fired.get(0).event()));
        assertTrue(gps.callbacks().stream().filter(c -> c.kind().equals("last")).noneMatch(c -> c.event().isTrusted()));
        // The status counter was reloaded to 30: restored at the 30th good pair.
        gps.clearCallbacks();
        for (int i = 1; i <= 30; i++) {
            goodPair(s++);
        }
        awaitPairs(30);
        fired = positions();
        assertEquals(1, fired.size());
        assertEquals(GPSPositionEvent.QUALITY_RESTORED, fired.get(0).event().getType());
        assertEquals(Nmea.timeInt(s - 1), eventTime(fired.get(0).event()));
    }

    @Test
    void timeTriggerFiresAtItsPeriodNotBeforeOnHhmmssIntegers() throws Exception {
        startReader();
        int s = validate();
        gps.timeTrigger = 25;
        gps.clearCallbacks();
        // Fired last at 120034: 120035 to 120058 are 1 to 24 later.
        for (int i = 0; i < 24; i++) {
            goodPair(s + i);
        }
        awaitPairs(24);
        assertEquals(0, positions().size());
        // 120059 is 25 later; 120100 one second on is 41 in hhmmss integers.
        goodPair(59);
        goodPair(60);
        awaitPairs(26);
        List<GPSReceiver.Callback> fired = positions();
        assertEquals(List.of(GPSPositionEvent.TIME, GPSPositionEvent.TIME),
                fired.stream().map(c -> c.event().getType()).toList());
        assertEquals(List.of(120059, 120100), fired.stream().map(c -> eventTime(c.event())).toList());
    }

    @Test
    void timeTriggerZeroFiresEveryPairAndRestartsTheTrackedDistance() throws Exception {
        startReader();
        gps.setDistanceTracker(true);
        gps.trackedDistanceSpeedThreshold = 1.0f;
        int s = validate();
        gps.timeTrigger = 0;
        gps.clearCallbacks();
        for (int i = 1; i <= 3; i++) {
            // 540 steps of 6 mas north: 100.0 m each.
            pair(s + i, 'A', Nmea.latitudeSteps(540 * i), 10.0, 0.0, '1', 8, 1.0, 40.0);
        }
        awaitPairs(3);
        List<GPSReceiver.Callback> fired = positions();
        assertEquals(3, fired.size());
        for (GPSReceiver.Callback c : fired) {
            assertEquals(GPSPositionEvent.TIME, c.event().getType());
        }
        // Each pair fired, so each carries only its own step of 3240 mas (100.0188 m).
        assertEquals(List.of(10001, 10001, 10001), fired.stream().map(c -> c.event().getTrackedDistance()).toList());
    }

    @Test
    void speedBandChangeWithDistanceFiresType3ThenType4() throws Exception {
        startReader();
        int s = validate();
        gps.speedTrigger = new float[] {10f, 50f, 100f};
        gps.distanceTrigger = new float[][] {{30f, 100f}, {80f, 500f}};
        gps.clearCallbacks();
        // Same band (10 knots), 539 steps = 99.8 m: nothing.
        pair(s, 'A', Nmea.latitudeSteps(539), 10.0, 0.0, '1', 8, 1.0, 40.0);
        awaitPairs(1);
        assertEquals(0, positions().size());
        // 20 knots: band 0 still; 540 steps = 100.02 m: distance fires.
        pair(s + 1, 'A', Nmea.latitudeSteps(540), 20.0, 0.0, '1', 8, 1.0, 40.0);
        awaitPairs(2);
        assertEquals(List.of(GPSPositionEvent.DISTANCE), positions().stream().map(c -> c.event().getType()).toList());
        gps.clearCallbacks();
        // 5 knots (band -1 below 10) and 200 m from the fired pair: type 3 (falling, threshold 0), then 4.
        pair(s + 2, 'A', Nmea.latitudeSteps(1620), 5.0, 0.0, '1', 8, 1.0, 40.0);
        awaitPairs(1);
        List<GPSReceiver.Callback> fired = positions();
        assertEquals(List.of(GPSPositionEvent.SPEED_BAND, GPSPositionEvent.DISTANCE),
                fired.stream().map(c -> c.event().getType()).toList());
        assertEquals(0, fired.get(0).event().getTriggerSpeedIndex());
        assertFalse(fired.get(0).event().isTriggerSpeedRaisingEdge());
        gps.clearCallbacks();
        // Rising into band 1 without distance: a type 3 alone.
        pair(s + 3, 'A', Nmea.latitudeSteps(1620), 55.0, 0.0, '1', 8, 1.0, 40.0);
        awaitPairs(1);
        fired = positions();
        assertEquals(1, fired.size());
        assertEquals(GPSPositionEvent.SPEED_BAND, fired.get(0).event().getType());
        assertEquals(1, fired.get(0).event().getTriggerSpeedIndex());
        assertTrue(fired.get(0).event().isTriggerSpeedRaisingEdge());
    }

    @Test
    void distanceRowsTakeTheFirstBoundAboveTheSpeedElseTheLastRow() throws Exception {
        startReader();
        int s = validate();
        gps.distanceTrigger = new float[][] {{30f, 100f}, {80f, 500f}};
        gps.clearCallbacks();
        // 1080 steps of 6 mas = 200.04 m, 2705 steps = 501.02 m from the fired pair.
        pair(s, 'A', Nmea.latitudeSteps(1080), 30.0, 0.0, '1', 8, 1.0, 40.0); // exactly 30: second row
        pair(s + 1, 'A', Nmea.latitudeSteps(1080), 75.0, 0.0, '1', 8, 1.0, 40.0);
        pair(s + 2, 'A', Nmea.latitudeSteps(2705), 90.0, 0.0, '1', 8, 1.0, 40.0); // above all: last row
        awaitPairs(3);
        List<GPSReceiver.Callback> fired = positions();
        assertEquals(1, fired.size());
        assertEquals(GPSPositionEvent.DISTANCE, fired.get(0).event().getType());
        assertEquals(Nmea.timeInt(s + 2), eventTime(fired.get(0).event()));
        // A missing row stops the scan with 0 m: any movement fires.
        gps.distanceTrigger = new float[][] {null, {80f, 500f}};
        gps.clearCallbacks();
        pair(s + 3, 'A', Nmea.latitudeSteps(2706), 90.0, 0.0, '1', 8, 1.0, 40.0);
        awaitPairs(1);
        assertEquals(1, positions().size());
    }

    @Test
    void areaCheckAfterRestoreAndAboveTheGeofencingSpeed() throws Exception {
        gps.geofencing = true;
        startReader();
        int s = validate();
        List<String> kinds = gps.callbacks().stream().map(GPSReceiver.Callback::kind)
                .filter(k -> !k.equals("record")).toList();
        assertEquals(List.of("last", "position", "area"), kinds.subList(kinds.size() - 3, kinds.size()));
        gps.clearCallbacks();
        pair(s, 'A', Nmea.LAT, 2.0, 0.0, '1', 8, 1.0, 40.0);
        pair(s + 1, 'A', Nmea.LAT, 2.01, 0.0, '1', 8, 1.0, 40.0);
        awaitPairs(2);
        List<GPSReceiver.Callback> area = gps.callbacks().stream().filter(c -> c.kind().equals("area")).toList();
        assertEquals(1, area.size(), "2.0 knots is not above the threshold");
        assertEquals(Nmea.timeInt(s + 1), eventTime(area.get(0).event()));
    }

    @Test
    void headingChangeAboveNinetyDegreesAtSpeed() throws Exception {
        startReader();
        gps.setAngleTracker(true);
        int s = validate();
        // A first fire gives the heading trigger its reference (course 0).
        gps.timeTrigger = 0;
        goodPair(s);
        awaitPairs(36);
        gps.timeTrigger = -1;
        gps.clearCallbacks();
        pair(s + 1, 'A', Nmea.LAT, 20.0, 90.0, '1', 8, 1.0, 40.0);
        pair(s + 2, 'A', Nmea.LAT, 16.19, 180.0, '1', 8, 1.0, 40.0);
        pair(s + 3, 'A', Nmea.LAT, 20.0, 271.0, '1', 8, 1.0, 40.0);
        pair(s + 4, 'A', Nmea.LAT, 20.0, 91.0, '1', 8, 1.0, 40.0);
        awaitPairs(4);
        List<GPSReceiver.Callback> fired = positions();
        // 90 is not above 90; 180 is too slow; 271 is 89 after the wrap; 91 fires.
        assertEquals(1, fired.size());
        assertEquals(GPSPositionEvent.HEADING, fired.get(0).event().getType());
        assertEquals(Nmea.timeInt(s + 4), eventTime(fired.get(0).event()));
    }

    @Test
    void fireNextDeliversTheNextRecordOfThatTypeAlone() throws Exception {
        startReader();
        gps.getRecordRecordName = "GGA";
        gps.fireNext = true;
        goodPair(0);
        goodPair(1);
        awaitPairs(2);
        List<GPSReceiver.Callback> records = records();
        assertEquals(1, records.size());
        GGA gga = assertInstanceOf(GGA.class, records.get(0).record());
        assertTrue(gga.getRecord().startsWith("$GPGGA," + Nmea.time(0)));
        assertFalse(gps.fireNext);
        // Another type: a sentence outside RMC and GGA comes as a base record.
        long before = count("record");
        gps.getRecordRecordName = "GSA";
        gps.fireNext = true;
        sim.nmea("GPGSA,A,3,17,28,06,01,30,20,26,13,,,,,1.8,1.1,1.5");
        assertTrue(gps.awaitCallbacks("record", (int) before + 1, WAIT));
        NMEARecordCheck.assertBase(records().get(1).record(), "GSA");
    }

    @Test
    void fireCurrentPositionDeliversAtOnceEvenWithABadFix() throws Exception {
        startReader();
        gps.geofencing = true;
        gps.fireCurrentPosition = true;
        pair(0, 'A', Nmea.LAT, 10.0, 0.0, '0', 2, 9.0, 40.0);
        awaitPairs(1);
        List<GPSReceiver.Callback> current = gps.callbacks().stream().filter(c -> c.kind().equals("current")).toList();
        assertEquals(1, current.size());
        assertFalse(current.get(0).event().isTrusted());
        assertFalse(gps.fireCurrentPosition);
        goodPair(1);
        awaitPairs(2);
        assertEquals(1, count("current"));
    }

    @Test
    void pairsFormOnlyFromEqualTimesInEitherOrder() throws Exception {
        startReader();
        sim.nmea(Nmea.rmc(0, 'A', Nmea.LAT, Nmea.LON, 10, 0));
        sim.nmea(Nmea.gga(1, '1', 8, 1.0, 40.0, Nmea.LAT, Nmea.LON));
        sim.nmea(Nmea.rmc(1, 'A', Nmea.LAT, Nmea.LON, 10, 0));
        sim.nmea(Nmea.gga(2, '1', 8, 1.0, 40.0, Nmea.LAT, Nmea.LON));
        sim.nmea(Nmea.rmc(2, 'A', Nmea.LAT, Nmea.LON, 10, 0));
        awaitPairs(2);
        sim.nmea(Nmea.rmc(3, 'A', Nmea.LAT, Nmea.LON, 10, 0)).nmea(Nmea.rmc(4, 'A', Nmea.LAT, Nmea.LON, 10, 0));
        goodPair(5);
        awaitPairs(3);
        assertEquals(List.of(Nmea.timeInt(1), Nmea.timeInt(2), Nmea.timeInt(5)), gps.callbacks().stream()
                .filter(c -> c.kind().equals("last")).map(c -> eventTime(c.event())).toList());
    }

    @Test
    void lineNoiseLineEndingsOverlongAndRunTogetherLinesLoseOnlyThemselves() throws Exception {
        startReader();
        sim.command("stray 40");
        goodPair(0);
        sim.command("eol lf");
        goodPair(1);
        sim.command("eol cr");
        goodPair(2);
        sim.command("eol crlf").command("long 300");
        goodPair(3);
        sim.command("join " + Nmea.sentence(Nmea.rmc(4, 'A', Nmea.LAT, Nmea.LON, 10, 0)).substring(0, 40) + "|"
                + Nmea.sentence(Nmea.gga(4, '1', 8, 1.0, 40.0, Nmea.LAT, Nmea.LON)));
        // A cut-off "$GPR" runs into the next RMC, which is lost with it.
        sim.command("raw 24475052");
        goodPair(5);
        goodPair(6);
        awaitPairs(5);
        assertEquals(List.of(Nmea.timeInt(0), Nmea.timeInt(1), Nmea.timeInt(2), Nmea.timeInt(3), Nmea.timeInt(6)),
                gps.callbacks().stream().filter(c -> c.kind().equals("last")).map(c -> eventTime(c.event())).toList());
    }

    @Test
    void thresholdsChangedWhileTheLoopRunsApplyToTheNextPair() throws Exception {
        startReader();
        goodPair(0);
        awaitPairs(1);
        gps.setSatellitThreshold(9);
        goodPair(1);
        awaitPairs(2);
        gps.setSatellitThreshold(8);
        goodPair(2);
        awaitPairs(3);
        assertEquals(List.of(true, false, true), gps.callbacks().stream().filter(c -> c.kind().equals("last"))
                .map(c -> c.event().isTrusted()).toList());
    }

    @Test
    void stopRequestEndsTheLoopAtTheNextSentence() throws Exception {
        startReader();
        goodPair(0);
        awaitPairs(1);
        gps.stopRequest = true;
        sim.nmea(Nmea.rmc(1, 'A', Nmea.LAT, Nmea.LON, 10, 0));
        reader.join(WAIT);
        assertFalse(reader.isAlive());
        assertInstanceOf(AssertionError.class, readerEnd, "returned normally");
    }

    @Test
    void closingTheDeviceEndsAWaitingReaderWithEBADF() throws Exception {
        startReader();
        goodPair(0);
        awaitPairs(1);
        gps.closeSerialDevice();
        reader.join(WAIT);
        assertFalse(reader.isAlive());
        IOException e = assertInstanceOf(IOException.class, readerEnd);
        assertEquals("errno: EBADF", e.getMessage());
    }

    @Test
    void aReceiverThatHangsUpEndsTheLoopInsteadOfSpinning() throws Exception {
        startReader();
        goodPair(0);
        awaitPairs(1);
        sim.command("hangup");
        reader.join(WAIT);
        assertFalse(reader.isAlive());
        IOException e = assertInstanceOf(IOException.class, readerEnd);
        assertEquals("errno: unkown", e.getMessage());
    }

    @Test
    void aCallbackThatThrowsIsClearedAndTheLoopGoesOn() throws Exception {
        gps.failLastPosition = new IllegalStateException("listener fault");
        startReader();
        // Every pair's first callback throws; the evaluation of each pair and
        // the loop go on as if it had returned.
        validate();
        assertEquals(GPSPositionEvent.QUALITY_RESTORED, positions().get(0).event().getType());
        assertTrue(reader.isAlive());
        assertNull(readerEnd);
    }

    /**
     * A multi-constellation receiver's output: GN for the combined fix, GP, GL
     * and GA satellites in view. Without the switch it gives no position at all.
     */
    private void multiGnssSecond(int s) throws IOException {
        sim.nmea("GNGSA,A,3,05,13,15,18,,,,,,,,,1.6,1.0,1.2");
        sim.nmea(Nmea.rmc(s, 'A', Nmea.LAT, Nmea.LON, 10.0, 0.0).replaceFirst("^GP", "GN"));
        sim.nmea("GPGSV,1,1,04,05,40,083,46,13,33,289,41,15,60,198,44,18,21,051,38");
        sim.nmea("GLGSV,1,1,02,65,45,010,40,72,30,300,36");
        sim.nmea(Nmea.gga(s, '1', 8, 1.0, 40.0, Nmea.LAT, Nmea.LON).replaceFirst("^GP", "GN"));
        sim.nmea("GAGSV,1,1,01,11,50,120,42");
    }

    @Test
    void multiGnssTalkersGivePositionsOnlyWithTheSwitch() throws Exception {
        assertFalse(gps.isMultiGnssTalkers());
        startReader();
        try {
            for (int s = 0; s < 35; s++) {
                multiGnssSecond(s);
            }
            settle();
            assertEquals(0, count("last"));
            assertEquals(0, positions().size());

            gps.setMultiGnssTalkers(true);
            assertTrue(gps.isMultiGnssTalkers());
            for (int s = 35; s < 70; s++) {
                multiGnssSecond(s);
            }
            awaitPairs(35);
            assertEquals(35, count("last"));
            GPSPositionEvent restored = positions().get(0).event();
            assertEquals(GPSPositionEvent.QUALITY_RESTORED, restored.getType());
            assertEquals(Nmea.timeInt(69), eventTime(restored));
            RMC rmc = assertInstanceOf(RMC.class, restored.getRecords().get(0));
            assertEquals("RMC", rmc.getRecordName());
            assertTrue(rmc.getRecord().startsWith("$GNRMC,"), rmc.getRecord());
        } finally {
            gps.setMultiGnssTalkers(false);
        }
    }

    @Test
    void anRmcWithoutDateIsNotDelivered() throws Exception {
        startReader();
        sim.nmea("GPRMC,120000.000,A,4907.6295,N,01001.4164,E,10.00,0.00,,,,A");
        sim.nmea(Nmea.gga(0, '1', 8, 1.0, 40.0, Nmea.LAT, Nmea.LON));
        goodPair(1);
        awaitPairs(1);
        assertEquals(Nmea.timeInt(1), eventTime(gps.callbacks().stream().filter(c -> c.kind().equals("last")).findFirst()
                .orElseThrow().event()));
    }
}
