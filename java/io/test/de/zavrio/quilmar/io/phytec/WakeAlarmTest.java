package de.zavrio.quilmar.io.phytec;

import static org.junit.jupiter.api.Assertions.assertEquals;

import de.zavrio.quilmar.test.NativeLibraries;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** The wake alarm as the RTC emulation sees it. */
class WakeAlarmTest {
    @BeforeAll
    static void load() {
        NativeLibraries.load("ionative");
    }

    @Test
    void setAndResetTheAlarm() throws Exception {
        PhytecPMModeControlImpl pm = new PhytecPMModeControlImpl();
        // No /dev/rtc on the board yet: both return normally.
        pm.setRTCTime(6, 30, 24, 11, 107);
        pm.resetRTCAlarm();
        try (GpioBoard board = new GpioBoard("rtc")) {
            pm.setRTCTime(6, 30, 24, 11, 107);
            assertEquals("alarm enabled=1 pending=0 sec=0 min=30 hour=6 mday=24 mon=11 year=107 wday=-1 yday=0 "
                    + "isdst=0\nrequests set=1 read=0 opens=1\n", board.ctl("rtc", "show"));
            board.ctl("rtc", "pending", "1");
            pm.resetRTCAlarm();
            assertEquals("alarm enabled=0 pending=0 sec=0 min=30 hour=6 mday=24 mon=11 year=107 wday=-1 yday=0 "
                    + "isdst=0\nrequests set=2 read=1 opens=2\n", board.ctl("rtc", "show"));
            // A refused request is not reported.
            board.ctl("rtc", "fail", "5");
            pm.setRTCTime(7, 0, 1, 0, 108);
        }
    }
}
