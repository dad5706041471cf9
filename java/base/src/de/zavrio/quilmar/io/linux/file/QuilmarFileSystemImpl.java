package de.zavrio.quilmar.io.linux.file;

import java.io.File;

/** Stand-in for the application's file permission service. */
public class QuilmarFileSystemImpl {
    public static final int READ = 4;
    public static final int WRITE = 2;
    public static final int EXECUTE = 1;

    static {
        nativeInit();
    }

    public static native void nativeInit();

    public native boolean checkAccess(File file, int access);

    public native boolean setPermission(File file, int access, boolean enable, boolean ownerOnly);
}
