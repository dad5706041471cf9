package de.zavrio.quilmar.gps.records;

import java.time.LocalDateTime;
import java.time.format.DateTimeFormatter;
import java.time.format.DateTimeParseException;

/** Recommended minimum data: status, speed and the fix's date and time. */
public class RMC extends AbstractPositionRecord {
    static {
        initNativeIDs();
    }

    private static final DateTimeFormatter DATE_TIME = DateTimeFormatter.ofPattern("ddMMyyHHmmss");

    protected char status;
    protected float speed;
    private LocalDateTime dateTime;

    public RMC() {}

    private static native void initNativeIDs();

    /** Makes sure the class has looked up its members. */
    public static void nativeReady() {}

    /** Date digits followed by the time text ("280406133417.634"); -1 when it is no date. */
    public int setDate(String text) {
        if (text == null || text.length() < 12) {
            return -1;
        }
        try {
            dateTime = LocalDateTime.parse(text.substring(0, 12), DATE_TIME);
            return 0;
        } catch (DateTimeParseException e) {
            return -1;
        }
    }

    public void setSpeed(float knots) {
        speed = knots;
    }

    public char getStatus() {
        return status;
    }

    public float getSpeed() {
        return speed;
    }

    public LocalDateTime getDateTime() {
        return dateTime;
    }
}
