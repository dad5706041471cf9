package de.zavrio.quilmar.io.linux.file;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import de.zavrio.quilmar.test.NativeLibraries;
import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Comparator;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

class FileServicesTest {
    // Under /dev/shm: the 32-bit VM cannot list directories of the build disk.
    private Path dir;

    private final SymbolicLinkUtil links = new SymbolicLinkUtil();
    private final QuilmarFileSystemImpl files = new QuilmarFileSystemImpl();

    @BeforeAll
    static void load() {
        NativeLibraries.load();
    }

    @BeforeEach
    void makeDir() throws IOException {
        dir = Files.createTempDirectory(Path.of("/dev/shm"), "basenative");
    }

    @AfterEach
    void removeDir() throws IOException {
        try (Stream<Path> all = Files.walk(dir)) {
            all.sorted(Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
        }
    }

    private static String errnoText(Executable call) {
        IOException e = assertThrows(IOException.class, call);
        assertEquals(IOException.class, e.getClass());
        return e.getMessage();
    }

    @Test
    void createdLinksReadBack() throws IOException {
        Path link = dir.resolve("gps");
        links.createSymLinkNative(link.toString(), "/dev/ttyS1");
        assertEquals("/dev/ttyS1", Files.readSymbolicLink(link).toString());
        assertEquals("/dev/ttyS1", links.readLinkNative(link.toString()));
        links.createSymLinkNative(dir.resolve("dangling").toString(), "no/such/target");
        assertEquals("no/such/target", links.readLinkNative(dir.resolve("dangling").toString()));
    }

    @Test
    void linkContentIsReadUpTo100Bytes() throws IOException {
        String target = "t".repeat(150);
        links.createSymLinkNative(dir.resolve("long").toString(), target);
        assertEquals(target.substring(0, 100), links.readLinkNative(dir.resolve("long").toString()));
        String exactly = "u".repeat(100);
        links.createSymLinkNative(dir.resolve("hundred").toString(), exactly);
        assertEquals(exactly, links.readLinkNative(dir.resolve("hundred").toString()));
    }

    @Test
    void linkFailuresRaiseErrnoTexts() throws IOException {
        Path existing = Files.createFile(dir.resolve("existing"));
        assertEquals("errno: EEXIST", errnoText(() -> links.createSymLinkNative(existing.toString(), "x")));
        assertEquals("errno: ENOENT", errnoText(() -> links.createSymLinkNative(dir.resolve("missing/link").toString(), "x")));
        assertEquals("errno: ENOTDIR", errnoText(() -> links.createSymLinkNative(existing.resolve("link").toString(), "x")));
        assertEquals("errno: ENAMETOOLONG", errnoText(() -> links.createSymLinkNative(dir.resolve("n".repeat(300)).toString(), "x")));
        // ELOOP has no text of its own when creating.
        Files.createSymbolicLink(dir.resolve("a"), dir.resolve("b"));
        Files.createSymbolicLink(dir.resolve("b"), dir.resolve("a"));
        assertEquals("errno: unkown", errnoText(() -> links.createSymLinkNative(dir.resolve("a/link").toString(), "x")));
        assertEquals("errno: ELOOP", errnoText(() -> links.readLinkNative(dir.resolve("a/x").toString())));

        assertEquals("errno: EINVAL", errnoText(() -> links.readLinkNative(existing.toString())));
        assertEquals("errno: ENOENT", errnoText(() -> links.readLinkNative(dir.resolve("missing").toString())));
        assertEquals("errno: ENOTDIR", errnoText(() -> links.readLinkNative(existing.resolve("x").toString())));
    }

    @Test
    void nullArgumentsAreRefusedNotDereferenced() {
        assertThrows(NullPointerException.class, () -> links.createSymLinkNative(null, "x"));
        assertThrows(NullPointerException.class, () -> links.readLinkNative(null));
        assertThrows(NullPointerException.class, () -> files.checkAccess(null, QuilmarFileSystemImpl.READ));
        assertThrows(NullPointerException.class, () -> files.setPermission(null, 4, true, false));
    }

    private static String mode(Path p) throws IOException {
        return PosixFilePermissions.toString(Files.getPosixFilePermissions(p));
    }

    @Test
    void setPermissionAddsOrRemovesTheChosenBits() throws IOException {
        Path f = Files.createFile(dir.resolve("config"));
        Files.setPosixFilePermissions(f, PosixFilePermissions.fromString("rw-r--r--"));
        assertTrue(files.setPermission(f.toFile(), QuilmarFileSystemImpl.WRITE, false, false));
        assertEquals("r--r--r--", mode(f));
        Files.setPosixFilePermissions(f, PosixFilePermissions.fromString("rw-------"));
        assertTrue(files.setPermission(f.toFile(), QuilmarFileSystemImpl.READ, true, false));
        assertEquals("rw-r--r--", mode(f));
        Files.setPosixFilePermissions(f, PosixFilePermissions.fromString("rwxr-xr-x"));
        assertTrue(files.setPermission(f.toFile(), QuilmarFileSystemImpl.EXECUTE, false, true));
        assertEquals("rw-r-xr-x", mode(f));
        assertFalse(files.setPermission(dir.resolve("missing").toFile(), QuilmarFileSystemImpl.READ, true, false));
    }

    @Test
    void unknownAccessCodeIsRefused() throws IOException {
        Path f = Files.createFile(dir.resolve("f"));
        Files.setPosixFilePermissions(f, PosixFilePermissions.fromString("rw-r--r--"));
        for (int code : new int[] {3, 0, 8, -4}) {
            IllegalArgumentException e = assertThrows(IllegalArgumentException.class,
                    () -> files.checkAccess(f.toFile(), code));
            assertEquals("unkown value for parameter access", e.getMessage());
            e = assertThrows(IllegalArgumentException.class, () -> files.setPermission(f.toFile(), code, true, false));
            assertEquals("unkown value for parameter access", e.getMessage());
        }
        assertEquals("rw-r--r--", mode(f));
    }

    @Test
    void checkAccessTestsTheFile() throws IOException {
        // Read and write pass for root whatever the mode; execute needs some x bit.
        // (Unprivileged judgements are tested natively, in a child that became nobody.)
        Path f = Files.createFile(dir.resolve("tool"));
        Files.setPosixFilePermissions(f, PosixFilePermissions.fromString("rw-r--r--"));
        assertTrue(files.checkAccess(f.toFile(), QuilmarFileSystemImpl.READ));
        assertTrue(files.checkAccess(f.toFile(), QuilmarFileSystemImpl.WRITE));
        assertFalse(files.checkAccess(f.toFile(), QuilmarFileSystemImpl.EXECUTE));
        Files.setPosixFilePermissions(f, PosixFilePermissions.fromString("rwxr--r--"));
        assertTrue(files.checkAccess(f.toFile(), QuilmarFileSystemImpl.EXECUTE));
        assertFalse(files.checkAccess(dir.resolve("missing").toFile(), QuilmarFileSystemImpl.READ));
    }

    @Test
    void relativeFilesAreResolvedAgainstTheWorkingDirectory() throws IOException {
        // OpenJDK's File has no "absname": the absolute path must still be used.
        Path f = Files.createFile(dir.resolve("relative"));
        Files.setPosixFilePermissions(f, PosixFilePermissions.fromString("rwxr-xr-x"));
        Path cwd = Path.of("").toAbsolutePath();
        File relative = cwd.relativize(f).toFile();
        assertFalse(relative.isAbsolute());
        assertTrue(files.checkAccess(relative, QuilmarFileSystemImpl.EXECUTE));
        assertTrue(files.setPermission(relative, QuilmarFileSystemImpl.EXECUTE, false, false));
        assertEquals("rw-r--r--", mode(f));
    }
}
