package de.zavrio.quilmar.gps;

import de.zavrio.quilmar.gps.records.BaseNMEARecord;
import de.zavrio.quilmar.gps.records.GGA;
import de.zavrio.quilmar.gps.records.NMEARecord;
import de.zavrio.quilmar.gps.records.RMC;
import java.io.IOException;
import java.util.ArrayList;
import java.util.List;

/**
 * The GPS receiver as the application sees it. The library reads the trigger
 * fields at each use and calls back with position events; this stand-in keeps
 * every callback, in order, for inspection.
 */
public class GPSReceiver {
    static {
        initNativeIDs();
        // The library builds these objects from the reader thread.
        GPSPositionEvent.nativeReady();
        BaseNMEARecord.nativeReady();
        RMC.nativeReady();
        GGA.nativeReady();
    }

    /** One callback from the library. */
    public record Callback(String kind, GPSPositionEvent event, NMEARecord record) {}

    public volatile boolean stopRequest;
    public volatile boolean geofencing;
    public volatile boolean fireNext;
    public volatile boolean fireCurrentPosition;
    public volatile String getRecordRecordName;
    public volatile int timeTrigger = -1;
    public volatile float[][] distanceTrigger;
    public volatile float[] speedTrigger;
    public volatile float trackedDistanceSpeedThreshold;

    /** When set, the last-position callback throws it (an application fault). */
    public volatile RuntimeException failLastPosition;

    private final List<Callback> callbacks = new ArrayList<>();

    private static native void initNativeIDs();

    public native void openSerialDevice(String path, int bitRate) throws IOException;

    public native void closeSerialDevice() throws IOException;

    /** Reads until stopRequest is seen or the device fails. */
    public native void startReading() throws IOException;

    public native void writeCmd(String command) throws IOException;

    public native void writeVendorSpecificCmd(byte[] data) throws IOException;

    public native void dummy();

    public native void setNativeLogging(boolean on);

    public native boolean isRecordReadAndReset();

    public native boolean isDataReadAndReset();

    /** Off by default; on: RMC and GGA of the talkers GN, GL, GA and GB are taken as well as GP. */
    public native void setMultiGnssTalkers(boolean on);

    public native boolean isMultiGnssTalkers();

    public native boolean isDistanceTracker();

    public native void setDistanceTracker(boolean on);

    public native void setAngleTracker(boolean on);

    public native int getSatellitThreshold();

    public native int getSatellitCounterThreshold();

    public native int getHdopCounterThreshold();

    public native void setSatellitThreshold(int value);

    public native void setSatellitCounterThreshold(int value);

    public native void setSpeedJumpCounterThreshold(int value);

    public native void setHeightJumpCounterThreshold(int value);

    public native void setSpeedJumpThreshold(int value);

    public native void setHeightJumpThreshold(int value);

    public native void setRmcValidCounterThreshold(int value);

    public native void setHdopCounterThreshold(int value);

    public native void setAngleTriggerTreshold(int value);

    public native void setHdopThreshold(float value);

    public native void setGeofencingSpeedThreshold(float value);

    public native void setAngleTriggerSpeedTreshold(float value);

    protected void fireGPSpositionEvent(GPSPositionEvent event) {
        add(new Callback("position", event, null));
    }

    protected void positionNativeCallback(NMEARecord record) {
        add(new Callback("record", null, record));
    }

    protected String positionNativeAreaCallback(GPSPositionEvent event) {
        add(new Callback("area", event, null));
        return "outside";
    }

    protected void currentPositionNativeCallback(GPSPositionEvent event) {
        add(new Callback("current", event, null));
    }

    protected void lastPositionNativeCallback(GPSPositionEvent event) {
        add(new Callback("last", event, null));
        RuntimeException fault = failLastPosition;
        if (fault != null) {
            throw fault;
        }
    }

    private void add(Callback callback) {
        synchronized (callbacks) {
            callbacks.add(callback);
            callbacks.notifyAll();
        }
    }

    /** A copy of the callbacks so far. */
    public List<Callback> callbacks() {
        synchronized (callbacks) {
            return new ArrayList<>(callbacks);
        }
    }

    /** Waits until at least n callbacks of the kind arrived; false on time-out. */
    public boolean awaitCallbacks(String kind, int n, long timeoutMillis) throws InterruptedException {
        final long deadline = System.nanoTime() + timeoutMillis * 1_000_000L;
        synchronized (callbacks) {
            while (callbacks.stream().filter(c -> c.kind().equals(kind)).count() < n) {
                long left = (deadline - System.nanoTime()) / 1_000_000L;
                if (left <= 0) {
                    return false;
                }
                callbacks.wait(left);
            }
            return true;
        }
    }

    public void clearCallbacks() {
        synchronized (callbacks) {
            callbacks.clear();
        }
    }
}
