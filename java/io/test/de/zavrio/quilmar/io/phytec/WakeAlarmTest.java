package de.zavrio.quilmar.io.phytec;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

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
            // Arming reports nothing; an alarm that may still be armed is never a normal return.
            board.ctl("rtc", "fail", "5");
            pm.setRTCTime(7, 0, 1, 0, 108);
            assertEquals("alarm still armed: RTC_WKALM_SET:EIO",
                    assertThrows(IllegalStateException.class, pm::resetRTCAlarm).getMessage());
            // A clock that keeps the time of day only (-1 elsewhere) and admits one opener at a time.
            board.ctl("rtc", "reset");
            board.ctl("rtc", "keep", "time");
            board.ctl("rtc", "exclusive", "on");
            pm.setRTCTime(6, 30, 24, 11, 107);
            board.ctl("rtc", "busy", "300");
            pm.resetRTCAlarm();
            assertEquals("alarm enabled=0 pending=0 sec=0 min=30 hour=6 mday=1 mon=0 year=70 wday=-1 yday=-1 "
                    + "isdst=-1\nrequests set=2 read=1 opens=2 busy=1\n", board.ctl("rtc", "show").replaceAll("busy=\\d+", "busy=1"));
            board.ctl("rtc", "busy", "5000");
            assertEquals("alarm still armed: open:EBUSY",
                    assertThrows(IllegalStateException.class, pm::resetRTCAlarm).getMessage());
        }
    }
}
