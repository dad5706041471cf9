package de.zavrio.quilmar.gps;

import de.zavrio.quilmar.gps.records.NMEARecord;
import java.util.ArrayList;
import java.util.List;

/** A position reported by the library: the RMC and GGA of one pair and why. */
public class GPSPositionEvent {
    static {
        initNativeIDs();
    }

    public static final int SPEED_BAND = 3;
    public static final int DISTANCE = 4;
    public static final int QUALITY_LOST = 5;
    public static final int QUALITY_RESTORED = 6;
    public static final int TIME = 10;
    public static final int HEADING = 11;

    protected int trackedDistance;
    protected boolean triggerSpeedRaisingEdge;
    protected int triggerSpeedIndex;
    protected int type;
    protected boolean trusted;
    private final List<NMEARecord> records = new ArrayList<>();

    public GPSPositionEvent() {}

    private static native void initNativeIDs();

    static void nativeReady() {}

    public void addNMEARecord(NMEARecord record) {
        records.add(record);
    }

    public List<NMEARecord> getRecords() {
        return records;
    }

    public int getType() {
        return type;
    }

    public int getTrackedDistance() {
        return trackedDistance;
    }

    public boolean isTriggerSpeedRaisingEdge() {
        return triggerSpeedRaisingEdge;
    }

    public int getTriggerSpeedIndex() {
        return triggerSpeedIndex;
    }

    public boolean isTrusted() {
        return trusted;
    }
}
