package de.zavrio.quilmar.io.linux.comm.channel.wifi.wpasupplicant.control.impl;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import de.zavrio.quilmar.io.linux.comm.channel.wifi.wpasupplicant.control.ControlInterfaceException;
import de.zavrio.quilmar.io.linux.comm.channel.wifi.wpasupplicant.control.ControlInterfaceTimeoutException;
import de.zavrio.quilmar.test.Descriptors;
import de.zavrio.quilmar.test.NativeLibraries;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.function.Consumer;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Nested;
import org.junit.jupiter.api.Test;

class ControlInterfaceImplTest {
    private static int descriptorsBefore;

    @BeforeAll
    static void load() {
        NativeLibraries.load();
        descriptorsBefore = Descriptors.open();
    }

    @AfterAll
    static void nothingLeaks() {
        assertEquals(descriptorsBefore, Descriptors.open(), "descriptors left open");
        assertEquals(0, Descriptors.controlSocketFiles(), "control socket files left in /tmp");
    }

    /** The receive loop of openEventInterface on a thread of its own, as the application runs it. */
    static final class EventLoop {
        final BlockingQueue<String> events = new LinkedBlockingQueue<>();
        final ControlInterfaceImpl impl;
        final Thread thread;
        volatile Throwable failure;

        EventLoop(String path) {
            this(path, e -> {});
        }

        EventLoop(String path, Consumer<String> onEvent) {
            impl = new ControlInterfaceImpl(path, e -> {
                events.add(e);
                onEvent.accept(e);
            });
            thread = new Thread(() -> {
                try {
                    impl.openEventInterface(path);
                } catch (Throwable t) {
                    failure = t;
                }
            }, "wpa event loop");
            thread.setDaemon(true);
            thread.start();
        }

        String next() throws InterruptedException {
            String e = events.poll(10, TimeUnit.SECONDS);
            if (e == null) {
                throw new AssertionError("no event arrived");
            }
            return e;
        }

        /** Waits for the loop to return; true when it did within the limit. */
        boolean ended() throws InterruptedException {
            thread.join(10_000);
            return !thread.isAlive();
        }
    }

    private final ControlInterfaceImpl commands = new ControlInterfaceImpl("", e -> {});

    @AfterEach
    void closeBoth() {
        commands.closeCommandInterface();
        try {
            commands.closeEventInterface();
        } catch (IllegalStateException | ControlInterfaceException closed) {
            // nothing was open, or the supplicant is gone: closed all the same
        }
    }

    @Test
    void everythingNeedsAnOpenInterface() {
        IllegalStateException e = assertThrows(IllegalStateException.class, () -> commands.wpaCtrlRequestNative("PING"));
        assertEquals("wpa control interface is already closed", e.getMessage());
        e = assertThrows(IllegalStateException.class, commands::closeEventInterface);
        assertEquals("wpa control interface is already closed", e.getMessage());
        commands.closeCommandInterface(); // nothing open: nothing to do
    }

    @Test
    void missingSupplicantCannotBeOpened() {
        ControlInterfaceException e = assertThrows(ControlInterfaceException.class,
                () -> commands.openCommandInterface("/dev/shm/no-such-supplicant"));
        assertEquals(ControlInterfaceException.class, e.getClass());
        assertEquals("can not open WPA supplicant control interface (ctrlCommand)", e.getMessage());
        e = assertThrows(ControlInterfaceException.class, () -> commands.openEventInterface("/dev/shm/no-such-supplicant"));
        assertEquals("can not open WPA supplicant control interface (ctrlEvent)", e.getMessage());
        e = assertThrows(ControlInterfaceException.class, () -> commands.openCommandInterface("/dev/shm/" + "x".repeat(120)));
        assertEquals("can not open WPA supplicant control interface (ctrlCommand)", e.getMessage());
        assertThrows(NullPointerException.class, () -> commands.openCommandInterface(null));
        assertThrows(IllegalStateException.class, commands::closeEventInterface);
    }

    @Nested
    class AgainstTheRealDaemon {
        private RealSupplicant daemon;

        @BeforeEach
        void start() throws Exception {
            daemon = new RealSupplicant();
        }

        @AfterEach
        void stop() throws Exception {
            closeBoth();
            daemon.close();
        }

        @Test
        void pingIsAnsweredPong() throws Exception {
            commands.openCommandInterface(daemon.path());
            assertEquals("PONG\n", commands.wpaCtrlRequestNative("PING"));
            assertEquals("UNKNOWN COMMAND\n", commands.wpaCtrlRequestNative("NO-SUCH-COMMAND"));
            // A second open replaces the first connection.
            commands.openCommandInterface(daemon.path());
            assertEquals("PONG\n", commands.wpaCtrlRequestNative("PING"));
        }

        @Test
        void longReplyIsCutTo2047Bytes() throws Exception {
            commands.openCommandInterface(daemon.path());
            String dump = commands.wpaCtrlRequestNative("DUMP");
            assertEquals(2047, dump.length());
            assertTrue(dump.startsWith("ctrl_interface=" + daemon.dir.resolve("ctrl") + "\n"), dump);
        }

        /** Starts the loop and scans until it hears of it: then it is attached. */
        private EventLoop attachedLoop() throws Exception {
            EventLoop loop = new EventLoop(daemon.path());
            commands.openCommandInterface(daemon.path());
            String event = null;
            for (int i = 0; i < 50 && event == null; i++) {
                assertEquals("OK\n", commands.wpaCtrlRequestNative("SCAN"));
                event = loop.events.poll(200, TimeUnit.MILLISECONDS);
            }
            assertTrue(event != null && event.startsWith("<3>CTRL-EVENT-SCAN-"), String.valueOf(event));
            return loop;
        }

        @Test
        void scanEventsReachTheCallbackAndCloseEndsTheLoop() throws Exception {
            EventLoop loop = attachedLoop();
            commands.closeEventInterface(); // detaches: the "OK\n" is not taken by the loop
            assertTrue(loop.ended());
            assertNull(loop.failure);
            assertFalse(loop.events.stream().anyMatch(e -> e.equals("OK\n")));
        }

        @Test
        void stopRequestEndsTheLoopAfterTheNextEvent() throws Exception {
            EventLoop loop = attachedLoop();
            Thread.sleep(100); // the scan's remaining events
            loop.events.clear();
            loop.impl.stopRequest = true;
            assertTrue(loop.thread.isAlive());
            commands.wpaCtrlRequestNative("SCAN");
            assertTrue(loop.ended());
            assertNull(loop.failure);
            assertFalse(loop.events.isEmpty(), "the event that ended the loop is delivered");
            commands.closeEventInterface();
        }

        @Test
        void vanishedDaemonMakesRequestsAndCloseFailCleanly() throws Exception {
            EventLoop loop = attachedLoop();
            daemon.kill();
            ControlInterfaceException e = assertThrows(ControlInterfaceException.class,
                    () -> commands.wpaCtrlRequestNative("PING"));
            assertEquals("send or receive of wpa control request failed", e.getMessage());
            e = assertThrows(ControlInterfaceException.class, commands::closeEventInterface);
            assertEquals("failed to deattach wpa control interface (ctrlEvent)", e.getMessage());
            assertTrue(loop.ended());
            assertThrows(IllegalStateException.class, commands::closeEventInterface);
        }
    }

    @Nested
    class AgainstTheScriptedSocket {
        private ScriptedSupplicant script;

        @BeforeEach
        void start() throws Exception {
            script = new ScriptedSupplicant();
        }

        @AfterEach
        void stop() throws Exception {
            closeBoth();
            script.close();
        }

        @Test
        void silenceTimesOut() throws Exception {
            script.instruct("rule PING silent");
            commands.openCommandInterface(script.path());
            long start = System.nanoTime();
            ControlInterfaceTimeoutException e = assertThrows(ControlInterfaceTimeoutException.class,
                    () -> commands.wpaCtrlRequestNative("PING"));
            assertEquals("timout during wpa control request event sending", e.getMessage());
            long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            assertTrue(ms >= 1900 && ms < 6000, ms + " ms");
        }

        @Test
        void repliesComeBackAsTheyAre() throws Exception {
            script.instruct("rule EMPTY reply:");
            script.instruct("rule STATUS event:<3>CTRL-EVENT-CONNECTED reply:wpa_state=COMPLETED\\n");
            script.instruct("rule SSID reply:ssid=Caf\\xc3\\xa9\\xff\\n");
            commands.openCommandInterface(script.path());
            assertEquals("", commands.wpaCtrlRequestNative("EMPTY"));
            assertEquals("wpa_state=COMPLETED\n", commands.wpaCtrlRequestNative("STATUS"));
            // Bytes that are not modified UTF-8 arrive replaced, never raw.
            assertEquals("ssid=Café?\n", commands.wpaCtrlRequestNative("SSID"));
            // The command goes out as its modified-UTF-8 bytes, no terminator.
            assertEquals("UNKNOWN COMMAND\n", commands.wpaCtrlRequestNative("SET ssid Café"));
            for (String sent : List.of("EMPTY", "STATUS", "SSID", "SET\\sssid\\sCaf\\xc3\\xa9")) {
                assertEquals(sent, script.nextReceived());
            }
        }

        @Test
        void eventsAreDeliveredUpTo255Bytes() throws Exception {
            EventLoop loop = new EventLoop(script.path());
            assertEquals("ATTACH", script.nextReceived());
            String e255 = "<2>" + "e".repeat(252);
            script.instruct("event " + e255);
            script.instruct("event <2>" + "f".repeat(297));
            assertEquals(e255, loop.next());
            assertEquals("<2>" + "f".repeat(252), loop.next());
            commands.closeEventInterface();
            assertTrue(loop.ended());
            assertEquals("DETACH", script.nextReceived());
        }

        @Test
        void failedAttachLeavesTheInterfaceOpenForClose() throws Exception {
            script.instruct("rule ATTACH reply:FAIL\\n");
            ControlInterfaceException e = assertThrows(ControlInterfaceException.class,
                    () -> commands.openEventInterface(script.path()));
            assertEquals(ControlInterfaceException.class, e.getClass());
            assertEquals("failed to attach wpa eventListener", e.getMessage());
            commands.closeEventInterface();
            assertEquals("ATTACH", script.nextReceived());
            assertEquals("DETACH", script.nextReceived());

            script.instruct("rule ATTACH silent");
            ControlInterfaceTimeoutException t = assertThrows(ControlInterfaceTimeoutException.class,
                    () -> commands.openEventInterface(script.path()));
            assertEquals("timout during trying to attach wpa eventListener", t.getMessage());
            script.instruct("rule DETACH reply:FAIL\\n");
            e = assertThrows(ControlInterfaceException.class, commands::closeEventInterface);
            assertEquals("failed to deattach wpa control interface (ctrlEvent)", e.getMessage());
            assertThrows(IllegalStateException.class, commands::closeEventInterface);
        }

        @Test
        void silentDetachTimesOutButCloses() throws Exception {
            EventLoop loop = new EventLoop(script.path());
            assertEquals("ATTACH", script.nextReceived());
            script.instruct("rule DETACH silent");
            ControlInterfaceTimeoutException e = assertThrows(ControlInterfaceTimeoutException.class,
                    commands::closeEventInterface);
            assertEquals("timout during trying to deattaching wpa control interface (ctrlEvent)", e.getMessage());
            assertTrue(loop.ended());
            assertThrows(IllegalStateException.class, commands::closeEventInterface);
        }

        @Test
        void exceptionOfTheCallbackEndsTheLoopAndReachesItsCaller() throws Exception {
            EventLoop loop = new EventLoop(script.path(), e -> {
                throw new IllegalStateException("listener failed on " + e);
            });
            assertEquals("ATTACH", script.nextReceived());
            script.instruct("flood 3 <3>CTRL-EVENT-DISCONNECTED");
            assertTrue(loop.ended());
            assertEquals("listener failed on <3>CTRL-EVENT-DISCONNECTED", loop.failure.getMessage());
            assertEquals(1, loop.events.size());
            commands.closeEventInterface();
        }

        @Test
        void closeFromAnotherThreadReleasesTheLoopEveryTime() throws Exception {
            closeRepeatedly(false);
        }

        @Test
        void closeFromAnotherThreadReleasesTheLoopEveryTimeUnderTraffic() throws Exception {
            closeRepeatedly(true);
        }

        private void closeRepeatedly(boolean traffic) throws Exception {
            int rounds = 1000;
            List<String> seen = new CopyOnWriteArrayList<>();
            int descriptors = Descriptors.open();
            for (int i = 0; i < rounds; i++) {
                EventLoop loop = new EventLoop(script.path(), seen::add);
                assertEquals("ATTACH", script.nextReceived());
                if (traffic) {
                    script.instruct("flood 5 <3>CTRL-EVENT-BSS-ADDED\\s0\\s00:11:22:33:44:55");
                }
                commands.closeEventInterface();
                assertEquals("DETACH", script.nextReceived());
                assertTrue(loop.ended(), "round " + i);
                assertNull(loop.failure, "round " + i);
            }
            assertEquals(descriptors, Descriptors.open());
            if (traffic) {
                assertFalse(seen.isEmpty());
            }
        }
    }
}
