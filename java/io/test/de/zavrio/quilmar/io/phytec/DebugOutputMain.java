package de.zavrio.quilmar.io.phytec;

import de.zavrio.quilmar.test.NativeLibraries;
import java.util.concurrent.TimeUnit;

/**
 * Run in a JVM of its own by DebugOutputTest, whose standard output it is:
 * the library's debug lines go to the process's standard output.
 */
public final class DebugOutputMain {
    private DebugOutputMain() {}

    interface Call {
        void run() throws Exception;
    }

    static void call(Call c) {
        try {
            c.run();
        } catch (Exception e) {
            // the exceptions are DigitalIOTest's business
        }
    }

    public static void main(String[] args) throws Exception {
        NativeLibraries.load("ionative");
        QuilmarIOPhytecImpl io = new QuilmarIOPhytecImpl();
        for (boolean on : new boolean[] {true, false}) {
            io.setNativeLogging(on);
            call(() -> io.isDigitalInputNegated(3));
            call(() -> io.isDigitalOutputNegated(1));
            call(() -> io.isDigitalInputNegated(14)); // a single octet
            call(() -> io.getTemperatureRaw(0));
            call(() -> io.getTemperatureRaw(1)); // no debug line for the address
            call(() -> io.nativeGetAnalogInput(1)); // the empty file
            // An event left from the round before must not stand for this
            // round's loop: a stop before the loop has started ends nothing.
            io.events.clear();
            Thread reader = new Thread(() -> call(io::readEvents));
            reader.start();
            QuilmarIOPhytecImpl.Delivery d = io.events.poll(60, TimeUnit.SECONDS);
            if (d == null) {
                throw new AssertionError("no event");
            }
            // A stop that comes before the loop has registered ends nothing,
            // so it is repeated until the reader is gone.
            while (reader.isAlive()) {
                io.stopReadEvents();
                reader.join(100);
            }
        }
        new PhytecPMModeControlImpl().setRTCTime(6, 30, 24, 11, 107);
        new PhytecPMModeControlImpl().resetRTCAlarm();
    }
}
