package de.zavrio.quilmar.io.linux.time;

import java.io.IOException;

/** Stand-in for the application's system clock adjustment. */
public class KernelTimeImpl {
    public native void setNativeLogging(boolean on);

    /** Steps the clock by the offset; only the low 32 bits of each argument count. */
    public native void adjustTime(long seconds, long microseconds) throws IOException;
}
