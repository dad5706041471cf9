package de.zavrio.quilmar.io.can;

/** A controller command or a confirmed bulk transfer failed. */
public class CANBusException extends Exception {
    private static final long serialVersionUID = 1L;

    public CANBusException(String message) {
        super(message);
    }
}
