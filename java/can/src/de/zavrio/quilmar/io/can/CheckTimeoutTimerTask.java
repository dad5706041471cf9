package de.zavrio.quilmar.io.can;

import java.util.TimerTask;

/** Watchdog of the reader loop: false means no cycle finished a read since the last run. */
public class CheckTimeoutTimerTask extends TimerTask {
    native boolean checkAndResetTimeoutFlag();

    volatile boolean readerAlive;

    @Override
    public void run() {
        readerAlive = checkAndResetTimeoutFlag();
    }
}
