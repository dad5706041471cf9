package de.zavrio.quilmar.gps.records;

/** Fix data: satellites, HDOP and altitude. */
public class GGA extends AbstractPositionRecord {
    static {
        initNativeIDs();
    }

    protected int antennaAltitudeIntegerPart;
    protected int antennaAltitudeDecimalPart;
    protected float hdop;
    protected int numberOfSatellites;

    public GGA() {}

    private static native void initNativeIDs();

    /** Makes sure the class has looked up its members. */
    public static void nativeReady() {}

    public void setHDOP(float value) {
        hdop = value;
    }

    public float getHdop() {
        return hdop;
    }

    public int getNumberOfSatellites() {
        return numberOfSatellites;
    }

    public int getAntennaAltitudeIntegerPart() {
        return antennaAltitudeIntegerPart;
    }

    public int getAntennaAltitudeDecimalPart() {
        return antennaAltitudeDecimalPart;
    }
}
