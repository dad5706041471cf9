package de.zavrio.quilmar.io.linux.comm.channel.wifi.wpasupplicant.control.impl;

import de.zavrio.quilmar.io.linux.comm.channel.wifi.wpasupplicant.control.ControlInterfaceException;
import java.util.function.Consumer;

/**
 * Stand-in for the application's link to the Wi-Fi supplicant: a command
 * connection for requests and an event connection whose messages the native
 * receive loop hands to {@link #fireUnsolicitedEvent}.
 */
public class ControlInterfaceImpl {
    static {
        initNativeIDs();
    }

    /** Seen by the receive loop before each receive; true ends it. */
    public volatile boolean stopRequest;

    /** Path of the supplicant's control socket (looked up by the library only). */
    public String controlInterface;

    private final Consumer<String> listener;

    public ControlInterfaceImpl(String controlInterface, Consumer<String> listener) {
        this.controlInterface = controlInterface;
        this.listener = listener;
    }

    /** Called by the receive loop with each unsolicited message. */
    public void fireUnsolicitedEvent(String event) {
        listener.accept(event);
    }

    public static native void initNativeIDs();

    public native void setNativeLogging(boolean on);

    public native void openCommandInterface(String path) throws ControlInterfaceException;

    /** Opens and attaches the event connection, then runs the receive loop on this thread. */
    public native void openEventInterface(String path) throws ControlInterfaceException;

    public native void closeEventInterface() throws ControlInterfaceException;

    public native void closeCommandInterface();

    public native String wpaCtrlRequestNative(String command) throws ControlInterfaceException;
}
