package de.zavrio.quilmar.demo;

import java.time.LocalTime;
import java.time.format.DateTimeFormatter;

/** The demo's console: one line per event, marked with its source. */
final class Console {
    private static final DateTimeFormatter TIME = DateTimeFormatter.ofPattern("HH:mm:ss.SSS");

    private Console() {}

    static synchronized void line(String source, String text) {
        System.out.printf("%s [%-4s] %s%n", LocalTime.now().format(TIME), source, text);
        System.out.flush();
    }
}
