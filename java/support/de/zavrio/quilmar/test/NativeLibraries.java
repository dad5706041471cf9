package de.zavrio.quilmar.test;

import java.nio.file.Path;

/** Loads native libraries the way the application does: basenative first. */
public final class NativeLibraries {
    private NativeLibraries() {}

    /** Loads basenative, then each named library (without "lib" and ".so"). */
    public static synchronized void load(String... names) {
        System.loadLibrary("basenative");
        for (String name : names) {
            System.loadLibrary(name);
        }
    }

    /** A program of this build, e.g. a deliverable or a test program. */
    public static Path program(String name) {
        return Path.of(System.getProperty("quilmar.bin"), name);
    }

    /** A program that runs on this machine, e.g. a device simulator. */
    public static Path hostProgram(String name) {
        return Path.of(System.getProperty("quilmar.hostbin"), name);
    }

    /** A file of the source tree, e.g. test data. */
    public static Path source(String relative) {
        return Path.of(System.getProperty("quilmar.source"), relative);
    }

    /** True when the tests run on the target's JVM under emulation. */
    public static boolean onTarget() {
        return "armel".equals(System.getProperty("quilmar.target"));
    }
}
