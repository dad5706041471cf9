package de.zavrio.quilmar.gps;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import de.zavrio.quilmar.gps.records.GGA;
import de.zavrio.quilmar.gps.records.RMC;
import de.zavrio.quilmar.test.NativeLibraries;
import java.math.BigDecimal;
import java.math.RoundingMode;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Real receiver logs replayed through the whole loop. What the library should
 * deliver is worked out here from the log alone: which lines survive the
 * checksum, which RMC and GGA pair up, and the positions in milliarcseconds
 * (exact decimal arithmetic, not the library's doubles).
 */
class RealLogReplayTest extends ReceiverFixture {

    /** One pair the application should see: times and positions. */
    record Expected(int time, long rmcLat, long rmcLon, long ggaLat, long ggaLon) {}

    @ParameterizedTest
    @ValueSource(strings = {"GPSmap-76S.log", "bu353s4.log", "haicom-305N.log", "mt3339.log", "telit-he910.log"})
    void everyPairArrivesWithItsPositions(String log) throws Exception {
        Path file = NativeLibraries.source("jni/gps/testdata/" + log);
        List<String> lines = new ArrayList<>();
        for (String line : Files.readAllLines(file, StandardCharsets.ISO_8859_1)) {
            if (!line.isEmpty() && !line.startsWith("#")) {
                lines.add(line);
            }
        }
        // A pair nobody else has, so that the end of the replay is visible.
        String endRmc = Nmea.sentence("GPRMC,235958.000,A,0000.0000,N,00000.0000,E,0.0,0.0,010199,,,A");
        String endGga = Nmea.sentence("GPGGA,235958.000,0000.0000,N,00000.0000,E,1,08,1.0,0.0,M,0.0,M,,");
        lines.add(endRmc);
        lines.add(endGga);
        List<Expected> expected = expectedPairs(lines);

        startReader();
        long start = System.nanoTime();
        sim.command("replay " + file + " 0");
        sim.command("line " + endRmc).command("line " + endGga);
        assertTrue(gps.awaitCallbacks("last", expected.size(), WAIT), log + ": pairs " + count("last") + " of " + expected.size());
        double seconds = (System.nanoTime() - start) / 1e9;
        List<GPSPositionEvent> delivered = gps.callbacks().stream().filter(c -> c.kind().equals("last")).map(c -> c.event()).toList();
        assertEquals(expected.size(), delivered.size(), log);
        for (int i = 0; i < expected.size(); i++) {
            Expected want = expected.get(i);
            RMC rmc = (RMC) delivered.get(i).getRecords().get(0);
            GGA gga = (GGA) delivered.get(i).getRecords().get(1);
            String where = log + " pair " + i + " " + rmc.getRecord();
            assertEquals(want.time(), atoi(field(rmc.getRecord(), 1)), where);
            assertClose(want.rmcLat(), rmc.getLatitude().getRadMilliseconds(), where);
            assertClose(want.rmcLon(), rmc.getLongitude().getRadMilliseconds(), where);
            assertClose(want.ggaLat(), gga.getLatitude().getRadMilliseconds(), where);
            assertClose(want.ggaLon(), gga.getLongitude().getRadMilliseconds(), where);
        }
        System.out.printf(Locale.ROOT, "gps loop: %s pairs=%d seconds=%.3f pairs/s=%.0f%n", log, expected.size(), seconds,
                expected.size() / seconds);
    }

    /** The library's double arithmetic may land one unit below the exact value. */
    private static void assertClose(long want, int got, String where) {
        assertTrue(Math.abs(want - got) <= 1, where + ": want " + want + " got " + got);
    }

    static List<Expected> expectedPairs(List<String> lines) {
        List<Expected> out = new ArrayList<>();
        String rmc = null;
        String gga = null;
        for (String line : lines) {
            int dollar = line.indexOf('$');
            if (dollar < 0) {
                continue;
            }
            String text = line.substring(dollar);
            assertTrue(text.length() <= 118, "test data line too long: " + text);
            if (!checksumOk(text) || !text.startsWith("$GP")) {
                continue;
            }
            String type = text.substring(3, 6);
            if (type.equals("GGA") && text.chars().filter(c -> c == ',').count() < 14) {
                continue; // too few fields: refused
            }
            if (type.equals("RMC")) {
                rmc = text;
                if (gga != null && atoi(field(gga, 1)) != atoi(field(rmc, 1))) {
                    gga = null;
                }
            } else if (type.equals("GGA")) {
                gga = text;
                if (rmc != null && atoi(field(gga, 1)) != atoi(field(rmc, 1))) {
                    rmc = null;
                }
            } else {
                continue;
            }
            if (rmc != null && gga != null) {
                // Only pairs whose RMC carries a date the application accepts reach it.
                String date = cut(field(rmc, 9), 8) + cut(field(rmc, 1), 10);
                if (new RMC().setDate(date) >= 0) {
                    out.add(new Expected(atoi(field(rmc, 1)), angle(rmc, 3, 2), angle(rmc, 5, 3), angle(gga, 2, 2),
                            angle(gga, 4, 3)));
                }
                rmc = null;
                gga = null;
            }
        }
        return out;
    }

    static boolean checksumOk(String text) {
        if (text.lastIndexOf('$') > 0) {
            return false;
        }
        int star = text.indexOf('*');
        if (star < 0) {
            return false;
        }
        int sum = 0;
        for (int i = 1; i < star; i++) {
            sum ^= text.charAt(i) & 0xFF;
        }
        return String.format(Locale.ROOT, "%02X", sum).equals(text.substring(star + 1));
    }

    /** Comma field n of the sentence (0 is the head), "" when absent. */
    static String field(String text, int n) {
        String body = text.substring(0, text.indexOf('*') < 0 ? text.length() : text.indexOf('*'));
        String[] parts = body.split(",", -1);
        return n < parts.length ? parts[n] : "";
    }

    static String cut(String s, int n) {
        return s.length() > n ? s.substring(0, n) : s;
    }

    static int atoi(String s) {
        int i = 0;
        int value = 0;
        while (i < s.length() && Character.isDigit(s.charAt(i))) {
            value = value * 10 + (s.charAt(i) - '0');
            i++;
        }
        return value;
    }

    /** Milliarcseconds of the angle at field n with its hemisphere at n + 1. */
    static long angle(String text, int n, int degreeDigits) {
        String token = cut(field(text, n), 11);
        if (token.isEmpty()) {
            return 0;
        }
        long degrees = atoi(cut(token, degreeDigits));
        String rest = token.length() > degreeDigits ? token.substring(degreeDigits) : "";
        BigDecimal minutes = rest.isEmpty() ? BigDecimal.ZERO : new BigDecimal(rest);
        long value = BigDecimal.valueOf(degrees * 3600).add(minutes.multiply(BigDecimal.valueOf(60)))
                .multiply(BigDecimal.valueOf(1000)).setScale(0, RoundingMode.DOWN).longValueExact();
        String hemisphere = field(text, n + 1);
        return hemisphere.equals("S") || hemisphere.equals("W") ? -value : value;
    }
}
