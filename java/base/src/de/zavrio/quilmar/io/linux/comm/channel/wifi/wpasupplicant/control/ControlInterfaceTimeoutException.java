package de.zavrio.quilmar.io.linux.comm.channel.wifi.wpasupplicant.control;

/** The supplicant did not answer within the control interface's time limit. */
public class ControlInterfaceTimeoutException extends ControlInterfaceException {
    private static final long serialVersionUID = 1L;

    public ControlInterfaceTimeoutException(String message) {
        super(message);
    }
}
