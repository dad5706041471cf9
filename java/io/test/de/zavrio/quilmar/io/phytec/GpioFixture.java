package de.zavrio.quilmar.io.phytec;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import de.zavrio.quilmar.test.NativeLibraries;
import java.io.IOException;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.function.Executable;

/** One GPIO board per test class, reset before each test and checked for violations after it. */
abstract class GpioFixture {
    static GpioBoard board;
    QuilmarIOPhytecImpl io;

    @BeforeAll
    static void start() throws IOException {
        NativeLibraries.load("ionative");
        board = new GpioBoard("gpio");
    }

    @AfterAll
    static void stop() {
        board.close();
    }

    @BeforeEach
    void fresh() throws Exception {
        board.gpio("reset");
        io = new QuilmarIOPhytecImpl();
    }

    @AfterEach
    void clean() throws Exception {
        board.assertNoViolations();
    }

    static void fails(Class<? extends Throwable> type, String message, Executable call) {
        Throwable t = assertThrows(type, call);
        assertEquals(message, t.getMessage());
    }
}
