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
            // Each round's loop gets a record of its own, queued once the
            // round has begun: a record queued earlier could be read by the
            // loop before it, in the time its stop takes to arrive.
            Thread reader = new Thread(() -> call(io::readEvents));
            reader.setDaemon(true); // a failed round must not keep the JVM alive
            reader.start();
            GpioBoard.ctlOn(System.getenv("VBOARD_ROOT"), "gpio", "edge", "3", on ? "5" : "0",
                    on ? "12" : "14", on ? "500" : "1", on ? "13" : "15", on ? "999999999" : "2");
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
