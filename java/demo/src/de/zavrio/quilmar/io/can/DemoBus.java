package de.zavrio.quilmar.io.can;

import java.io.IOException;
import java.util.function.Consumer;

/**
 * The demo application's CAN bus: the library's callbacks go to a listener,
 * and the fields the application sets are reachable from the demo.
 */
public final class DemoBus extends CANBus {
    /** What the library reported: identifier, data, time stamp. */
    public record Message(int id, byte[] data, long seconds, long microseconds) {}

    private final Consumer<Message> listener;

    public DemoBus(String device, int baud, CANMessageFilter[] filters, Consumer<Message> listener) {
        super(device, baud, true);
        this.listener = listener;
        filterArray = filters;
    }

    /** Loads the library and initialises its classes as the application does. */
    public static void loadLibrary() {
        System.loadLibrary("cannative");
        CANBus.initNativeIds();
        CANMessage.initNativeIds();
        CANMessageFilter.initNativeIds();
        CANBus.setNativeLogging(Boolean.getBoolean("demo.candebug"));
    }

    /** A filter on one identifier: at most once per interval, or on data change under the mask. */
    public static CANMessageFilter filter(int id, long intervalMillis, byte[] mask) {
        CANMessageFilter filter = new CANMessageFilter(id, intervalMillis);
        filter.mask = mask;
        return filter;
    }

    public void open() throws IOException {
        fd = openCanDevice();
    }

    /** Runs the reader loop on this thread until {@link #close}. */
    public void read() throws CANBusException {
        readMessages();
    }

    public void send(int id, byte[] data) throws IOException {
        writeMessage(new CANMessage(id, data));
    }

    /** Closes the device; a reader waiting in the loop wakes and returns. */
    public void close() throws IOException {
        closeCanDevice();
        fd = -1;
    }

    @Override
    void fireCANBusEvent(CANBusEvent event) {
        CANMessage m = (CANMessage) event;
        listener.accept(new Message(m.id, m.data, m.seconds, m.mikroseconds));
    }
}
