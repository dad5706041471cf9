package de.zavrio.quilmar.gps.records;

/** An angle in milliarcseconds (one degree is 3 600 000). */
public class Angle {
    protected int radMilliseconds;

    public int getRadMilliseconds() {
        return radMilliseconds;
    }

    public double getDegrees() {
        return radMilliseconds / 3_600_000.0;
    }
}
