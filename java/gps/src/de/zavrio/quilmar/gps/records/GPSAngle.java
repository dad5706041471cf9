package de.zavrio.quilmar.gps.records;

/** A latitude (typ 1) or longitude (typ 0). */
public class GPSAngle extends Angle {
    public static final int LONGITUDE = 0;
    public static final int LATITUDE = 1;

    protected int typ;

    public GPSAngle() {}

    public int getTyp() {
        return typ;
    }
}
