package de.zavrio.quilmar.demo;

import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;

/**
 * A small application on the virtual unit: loads the native libraries the
 * way the real application does (basenative first), runs each configured
 * part, prints its events live, and ends after the given time or at Ctrl-C
 * with a summary of what each part did.
 *
 * Arguments are key=value: seconds=N, gps=PTY, wifi=CONTROL_SOCKET,
 * can=DEVICE, io=on.
 */
public final class Demo {
    private Demo() {}

    public static void main(String[] args) throws Exception {
        Map<String, String> options = new LinkedHashMap<>();
        for (String arg : args) {
            int eq = arg.indexOf('=');
            if (eq <= 0) {
                System.err.println("demo: arguments are key=value, not '" + arg + "'");
                System.exit(2);
            }
            options.put(arg.substring(0, eq), arg.substring(eq + 1));
        }
        System.loadLibrary("basenative");
        List<Part> parts = new ArrayList<>();
        Parts.add(parts, options);

        CountDownLatch done = new CountDownLatch(1);
        AtomicBoolean finished = new AtomicBoolean();
        Runnable finish = () -> {
            if (finished.getAndSet(true)) {
                return;
            }
            for (Part part : parts) {
                part.stop();
            }
            System.out.println("=== summary");
            for (Part part : parts) {
                System.out.printf("%-4s %s%n", part.name(), part.summary());
            }
            System.out.flush();
        };
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            finish.run();
            done.countDown();
        }, "demo shutdown"));

        for (Part part : parts) {
            try {
                part.start();
            } catch (Exception e) {
                Console.line(part.name(), "could not start: " + e);
            }
        }
        long seconds = Long.parseLong(options.getOrDefault("seconds", "60"));
        done.await(seconds, TimeUnit.SECONDS);
        finish.run();
        System.exit(0);
    }
}
