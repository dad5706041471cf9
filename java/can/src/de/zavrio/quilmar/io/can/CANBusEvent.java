package de.zavrio.quilmar.io.can;

/** What a CANBus reports to its listeners: here always a CANMessage. */
public class CANBusEvent {}
