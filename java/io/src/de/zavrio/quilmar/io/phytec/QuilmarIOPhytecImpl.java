package de.zavrio.quilmar.io.phytec;

import de.zavrio.quilmar.io.QuilmarIOEvent;
import java.io.IOException;
import java.time.Instant;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;

/**
 * The board's digital and analog IO as the application sees it. This stand-in
 * keeps every event the reader delivers, with the wall-clock time it arrived.
 */
public class QuilmarIOPhytecImpl {
    static {
        nativeInit();
        // The reader builds events from its own thread.
        new QuilmarIOEventImpl();
    }

    /** One delivered event and the time addEvent saw it. */
    public record Delivery(QuilmarIOEventImpl event, Instant arrived) {}

    public final BlockingQueue<Delivery> events = new LinkedBlockingQueue<>();

    private static native void nativeInit();

    public native void setNativeLogging(boolean on);

    /** Reads the input devices until a wait fails or stopReadEvents is called. */
    public native void readEvents() throws IOException;

    /** Releases a running readEvents (application shutdown). */
    public native void stopReadEvents();

    public void addEvent(QuilmarIOEvent event) {
        events.add(new Delivery((QuilmarIOEventImpl) event, Instant.now()));
    }

    public native void setDigitalOutput(int address, boolean on) throws IOException;

    public native boolean getDigitalOutput(int address) throws IOException;

    public native void setDigitalOutputNegated(int address, boolean negated) throws IOException;

    public native boolean isDigitalOutputNegated(int address) throws IOException;

    public native boolean getDigitalInput(int address) throws IOException;

    public native void setDigitalInputNegated(int address, boolean negated) throws IOException;

    public native boolean isDigitalInputNegated(int address) throws IOException;

    public native void setDigitalInputEdge(int address, String edge) throws IOException;

    public native String nativeGetDigitalInputTriggerEdge(int address) throws IOException;

    public native void setDigitalInputDebounce(int address, long debounce) throws IOException;

    public native long getDigitalInputDebounce(int address) throws IOException;

    public native void triggeDigitalInput(int address) throws IOException;

    public native boolean[] nativeGetAll() throws IOException;

    public native int getTemperatureRaw(int address) throws IOException;

    public native int nativeGetAnalogInput(int address) throws IOException;

    public native void nativeSetLED(int index, boolean on) throws IOException;
}
