package de.zavrio.quilmar.test;

import java.io.File;
import java.nio.file.Files;
import java.nio.file.Path;

/** What a test may leave behind: open descriptors and control-socket files. */
public final class Descriptors {
    private Descriptors() {}

    /** Open descriptors of this process. */
    public static int open() {
        String[] fds = new File("/proc/self/fd").list();
        return fds == null ? -1 : fds.length;
    }

    /**
     * Local socket files of this process's supplicant connections in /tmp,
     * probed by name: the 32-bit VM cannot list /tmp on this disk.
     */
    public static int controlSocketFiles() {
        long pid = ProcessHandle.current().pid();
        int n = 0;
        for (int i = 0; i < 6000; i++) {
            if (Files.exists(Path.of("/tmp/wpa_ctrl_" + pid + "-" + i))) {
                n++;
            }
        }
        return n;
    }
}
