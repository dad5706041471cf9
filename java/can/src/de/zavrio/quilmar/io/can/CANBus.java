package de.zavrio.quilmar.io.can;

/**
 * One CAN device. The fields are those the library reads and writes; the callbacks are where
 * the application hands messages on (its listeners override them).
 */
public class CANBus {
    static native void initNativeIds();

    static native void setNativeLogging(boolean on);

    String device;
    int baud;
    boolean blocking;
    boolean readOnly;
    long sleeptime;
    volatile int fd = -1;

    // One pending message, sent by the reader loop.
    volatile boolean messageWritten;
    volatile CANMessage messageToWrite;
    volatile int writeResponse;

    CANMessageFilter[] filterArray;

    // Confirmed bulk transfer, sent by the reader loop.
    volatile CANMessage[] canMessagesSendArray;
    volatile CANMessage[] canMessagesReveiceArray;

    // The awaited identifier (-1: none) and the message that answered it.
    volatile int filterMessageId = -1;
    volatile CANMessage filteredMessage;

    long writeSleeptime;

    public CANBus(String device, int baud, boolean blocking) {
        this.device = device;
        this.baud = baud;
        this.blocking = blocking;
    }

    native int openCanDevice() throws java.io.IOException;

    native void closeCanDevice() throws java.io.IOException;

    native void reset() throws CANBusException;

    native void resetCloseAndOpen() throws CANBusException;

    native void readMessages() throws CANBusException;

    native void writeMessage(CANMessage message) throws java.io.IOException;

    boolean isMessageReadyToWrite() {
        return messageToWrite != null && !messageWritten;
    }

    synchronized void notifyAboutMessageSend() {
        notifyAll();
    }

    void fireCANBusEvent(CANBusEvent event) {}

    void buildFilterArray() {
        if (filterArray == null) {
            filterArray = new CANMessageFilter[0];
        }
    }

    boolean isMessagesReadyToWrite() {
        return canMessagesSendArray != null;
    }

    synchronized void notifyAboutBulkMessages() {
        canMessagesSendArray = null;
        notifyAll();
    }

    synchronized void notifyAboutFilteredMessage() {
        notifyAll();
    }
}
