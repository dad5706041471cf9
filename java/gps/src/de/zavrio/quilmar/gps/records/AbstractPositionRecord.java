package de.zavrio.quilmar.gps.records;

/** A sentence that carries a position. */
public abstract class AbstractPositionRecord extends BaseNMEARecord {
    static {
        initNativeIDs();
    }

    protected GPSAngle longitude;
    protected GPSAngle latitude;

    private static native void initNativeIDs();

    public GPSAngle getLongitude() {
        return longitude;
    }

    public GPSAngle getLatitude() {
        return latitude;
    }
}
