package de.zavrio.quilmar.gps;

import java.math.BigDecimal;
import java.time.LocalTime;
import java.util.Locale;

/** Sentence bodies for the simulator, written here independently of the library. */
final class Nmea {
    private Nmea() {}

    static final String LAT = "4907.6295";
    static final String LON = "01001.4164";

    /** hhmmss of 12:00:00 plus the given seconds. */
    static String time(int seconds) {
        LocalTime t = LocalTime.of(12, 0).plusSeconds(seconds);
        return String.format(Locale.ROOT, "%02d%02d%02d.000", t.getHour(), t.getMinute(), t.getSecond());
    }

    static int timeInt(int seconds) {
        return Integer.parseInt(time(seconds).substring(0, 6));
    }

    static String rmc(int seconds, char status, String lat, String lon, double speed, double course) {
        return String.format(Locale.ROOT, "GPRMC,%s,%c,%s,N,%s,E,%.2f,%.2f,280406,,,A", time(seconds), status, lat, lon,
                speed, course);
    }

    static String gga(int seconds, char fix, int satellites, double hdop, double altitude, String lat, String lon) {
        return String.format(Locale.ROOT, "GPGGA,%s,%s,N,%s,E,%c,%02d,%.2f,%s,M,47.0,M,,", time(seconds), lat, lon, fix,
                satellites, hdop, BigDecimal.valueOf(altitude).toPlainString());
    }

    /** A latitude text that many 0.0001' steps (6 milliarcseconds each) north of LAT. */
    static String latitudeSteps(int steps) {
        int tenThousandths = 76295 + steps;
        return String.format(Locale.ROOT, "49%02d.%04d", tenThousandths / 10000, tenThousandths % 10000);
    }

    /** "$body*hh" as a receiver writes it. */
    static String sentence(String body) {
        int sum = 0;
        for (char c : body.toCharArray()) {
            sum ^= c & 0xFF;
        }
        return String.format(Locale.ROOT, "$%s*%02X", body, sum);
    }
}
