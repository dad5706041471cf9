package de.zavrio.quilmar.io.can;

/**
 * A receive filter: messages with identifier {@code id} (-1 for any) are reported at most once per
 * {@code interval} milliseconds, or, with a negative interval, when their data changed under
 * {@code mask} (loaded only with interval -1).
 */
public class CANMessageFilter {
    static native void initNativeIds();

    int id;
    long interval;
    byte[] mask;
    byte[] delta;
    byte[] trigger;
    int triggerType;

    public CANMessageFilter(int id, long interval) {
        this.id = id;
        this.interval = interval;
    }
}
