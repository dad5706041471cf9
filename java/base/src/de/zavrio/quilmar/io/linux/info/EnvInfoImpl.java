package de.zavrio.quilmar.io.linux.info;

/** Stand-in for the application's process information. */
public class EnvInfoImpl {
    public native int getPid();

    public native int getPPid();
}
