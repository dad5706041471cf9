package de.zavrio.quilmar.io.phytec;

import de.zavrio.quilmar.io.QuilmarIOEvent;

/** One edge of a digital input; the library fills the fields and the two times. */
public class QuilmarIOEventImpl implements QuilmarIOEvent {
    static {
        nativeInit();
    }

    public int address;
    public boolean booleanValue;
    public int sequenceNumber;
    public int type;
    public boolean raise;

    public int eventSeconds;
    public int eventNanos;
    public int notifySeconds;
    public int notifyNanos;

    /** Tests only: this many next calls of setEventTime throw, as an application's setter might. */
    static volatile int failingSetters;

    public QuilmarIOEventImpl() {}

    private static native void nativeInit();

    public void setEventTime(int seconds, int nanos) {
        if (failingSetters > 0) {
            failingSetters--;
            throw new IllegalStateException("setEventTime refused");
        }
        eventSeconds = seconds;
        eventNanos = nanos;
    }

    public void setNotifyTime(int seconds, int nanos) {
        notifySeconds = seconds;
        notifyNanos = nanos;
    }

    @Override
    public String toString() {
        return String.format("in%X seq=%d value=%b ev=%d.%09d rep=%d.%09d", address, sequenceNumber, booleanValue,
                eventSeconds, eventNanos, notifySeconds, notifyNanos);
    }
}
