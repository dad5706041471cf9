package de.zavrio.quilmar.io.phytec;

/** Power-down control: the RTC wake alarm. */
public class PhytecPMModeControlImpl {
    /** Programs the wake alarm (does not set the clock). */
    public native void setRTCTime(int hour, int minute, int day, int month, int year);

    public native void resetRTCAlarm();
}
