package de.zavrio.quilmar.test;

/**
 * The preloaded virtual system clock (libquilmarclock.so), driven through
 * the clockprobe test library. Arming confines the virtual clock to the
 * calling thread; settimeofday never reaches this machine's clock.
 */
public final class VirtualClock {
    private VirtualClock() {}

    static {
        NativeLibraries.load("clockprobe");
    }

    /** True when this JVM was started with the virtual clock preloaded. */
    public static native boolean present();

    /** Arms the clock at (sec, usec) for the calling thread; frozen unless running. */
    public static native void arm(long sec, int usec, boolean running);

    public static native void disarm();

    /** Makes the named call fail with the errno value while armed; 0 clears. */
    public static native void fail(String call, int errno);

    /** {sec, usec} of the virtual clock. */
    public static native long[] now();

    /** {count, sec, usec, errno} of the settimeofday calls since arming. */
    public static native long[] lastSet();

    /** This platform's number for EPERM, EINVAL, EFAULT or EIO. */
    public static native int errno(String name);
}
