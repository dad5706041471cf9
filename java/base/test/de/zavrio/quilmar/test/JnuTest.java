package de.zavrio.quilmar.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.FileNotFoundException;
import java.io.IOException;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

class JnuTest {
    /** Members looked up by the tests. */
    static final class Target {
        String label = "before";
        String other = "untouched";

        void present() {}
    }

    /** An application exception class outside java.*, thrown by its dotted name. */
    public static final class ProbeException extends Exception {
        private static final long serialVersionUID = 1L;

        public ProbeException(String message) {
            super(message);
        }
    }

    @BeforeAll
    static void load() {
        NativeLibraries.load("jnuprobe");
    }

    @Test
    void throwsTheNamedClassWithItsMessage() {
        IOException io = assertThrows(IOException.class, () -> JnuProbe.throwByName("java.io.IOException", "errno: EACCES"));
        assertEquals(IOException.class, io.getClass());
        assertEquals("errno: EACCES", io.getMessage());

        FileNotFoundException fnf = assertThrows(FileNotFoundException.class,
                () -> JnuProbe.throwByName("java.io.FileNotFoundException", "/dev/ttyS1"));
        assertEquals("/dev/ttyS1", fnf.getMessage());

        ProbeException app = assertThrows(ProbeException.class,
                () -> JnuProbe.throwByName("de.zavrio.quilmar.test.JnuTest$ProbeException", "from native"));
        assertEquals("from native", app.getMessage());
    }

    @Test
    void unknownClassRaisesOnlyTheLookupError() {
        NoClassDefFoundError e = assertThrows(NoClassDefFoundError.class,
                () -> JnuProbe.throwByName("de.zavrio.quilmar.NoSuchException", "lost"));
        assertFalse(e.getMessage().contains("lost"));
    }

    @Test
    void presentMembersAreFoundWithoutException() {
        assertTrue(JnuProbe.hasField(Target.class, "label", "Ljava/lang/String;"));
        assertTrue(JnuProbe.hasMethod(Target.class, "present", "()V"));
    }

    @Test
    void missingMembersRaiseIllegalArgumentNamingThem() {
        IllegalArgumentException f = assertThrows(IllegalArgumentException.class,
                () -> JnuProbe.hasField(Target.class, "speed", "I"));
        assertEquals("field id: speed is null", f.getMessage());
        // Right name, wrong type is just as missing.
        f = assertThrows(IllegalArgumentException.class, () -> JnuProbe.hasField(Target.class, "label", "I"));
        assertEquals("field id: label is null", f.getMessage());

        IllegalArgumentException m = assertThrows(IllegalArgumentException.class,
                () -> JnuProbe.hasMethod(Target.class, "fire", "(I)V"));
        assertEquals("method id: fire is null", m.getMessage());
    }

    @Test
    void messagesStopAt255Characters() {
        String f237 = "f".repeat(237);
        String f238 = "f".repeat(238);
        assertEquals("field id: " + f237 + " is null", fieldMessage(f237));
        assertEquals(255, fieldMessage(f237).length());
        assertEquals(("field id: " + f238 + " is null").substring(0, 255), fieldMessage(f238));

        String m236 = "m".repeat(236);
        String m237 = "m".repeat(237);
        assertEquals("method id: " + m236 + " is null", methodMessage(m236));
        assertEquals(255, methodMessage(m236).length());
        assertEquals(("method id: " + m237 + " is null").substring(0, 255), methodMessage(m237));
    }

    @Test
    void setStringWritesTheFieldOfTheReferencedObject() {
        Target t = new Target();
        assertEquals(0, JnuProbe.setStringField(t, "label", "$GPRMC,äöü"));
        assertEquals("$GPRMC,äöü", t.label);
        assertEquals("untouched", t.other);
        assertEquals(0, JnuProbe.setStringField(t, "label", ""));
        assertEquals("", t.label);
    }

    private static String fieldMessage(String name) {
        return assertThrows(IllegalArgumentException.class, () -> JnuProbe.hasField(Target.class, name, "I")).getMessage();
    }

    private static String methodMessage(String name) {
        return assertThrows(IllegalArgumentException.class, () -> JnuProbe.hasMethod(Target.class, name, "()V")).getMessage();
    }
}
