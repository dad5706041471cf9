package de.zavrio.quilmar.io.linux.file;

import java.io.IOException;

/** Stand-in for the application's symbolic link service. */
public class SymbolicLinkUtil {
    public native void createSymLinkNative(String link, String target) throws IOException;

    /** The link's content, at most its first 100 bytes. */
    public native String readLinkNative(String path) throws IOException;
}
