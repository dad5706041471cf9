package de.zavrio.quilmar.io.linux.comm.channel.wifi.wpasupplicant.control;

/** A failure of the supplicant's control interface. */
public class ControlInterfaceException extends Exception {
    private static final long serialVersionUID = 1L;

    public ControlInterfaceException(String message) {
        super(message);
    }
}
