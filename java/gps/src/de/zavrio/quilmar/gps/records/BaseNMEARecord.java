package de.zavrio.quilmar.gps.records;

/** A sentence with its text fields; the library fills the fields directly. */
public class BaseNMEARecord implements NMEARecord {
    static {
        initNativeIDs();
    }

    protected String record;
    protected String recordName;
    protected String checksum;
    protected long eventTimeSec;
    protected long eventTimeUSec;

    public BaseNMEARecord() {}

    private static native void initNativeIDs();

    /** Makes sure the class has looked up its members. */
    public static void nativeReady() {}

    @Override
    public String getRecordName() {
        return recordName;
    }

    @Override
    public String getRecord() {
        return record;
    }

    public String getChecksum() {
        return checksum;
    }

    public long getEventTimeSec() {
        return eventTimeSec;
    }

    public long getEventTimeUSec() {
        return eventTimeUSec;
    }

    @Override
    public String toString() {
        return record;
    }
}
