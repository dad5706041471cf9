package de.zavrio.quilmar.io.can;

/** One CAN record: built by the library for reported messages, by the application for sending. */
public class CANMessage extends CANBusEvent {
    static native void initNativeIds();

    int flags;
    int cob;
    int id;
    long seconds;
    long mikroseconds;
    byte[] data;

    public CANMessage() {}

    public CANMessage(int id, byte[] data) {
        this.id = id;
        this.data = data;
    }
}
