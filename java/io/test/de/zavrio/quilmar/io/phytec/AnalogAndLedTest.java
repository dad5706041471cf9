package de.zavrio.quilmar.io.phytec;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.FileNotFoundException;
import java.io.IOException;
import java.nio.file.Files;
import org.junit.jupiter.api.Test;

/** Temperature, the two analog inputs and the LEDs. */
class AnalogAndLedTest extends GpioFixture {
    @Test
    void temperatureIsReadUnconvertedFromAtMostFiveOctets() throws Exception {
        final String temp = "hwmon/hwmon0/device/temp1_input";
        assertEquals(45250, io.getTemperatureRaw(0));
        board.setFile(temp, "105000\n");
        assertEquals(10500, io.getTemperatureRaw(0));
        board.setFile(temp, "-5\n");
        assertEquals(-5, io.getTemperatureRaw(0));
        board.setFile(temp, "");
        fails(IOException.class, "not enough data read", () -> io.getTemperatureRaw(0));
        board.setFile(temp, "n/a\n");
        fails(IOException.class, "not a number", () -> io.getTemperatureRaw(0));
        fails(IllegalArgumentException.class, "invalid address", () -> io.getTemperatureRaw(1));
        Files.delete(board.file(temp));
        fails(FileNotFoundException.class, "/sys/class/hwmon/hwmon0/device/temp1_input", () -> io.getTemperatureRaw(0));
    }

    @Test
    void analogInputsReadAtMostFourOctets() throws Exception {
        assertEquals(1234, io.nativeGetAnalogInput(0));
        assertEquals(2345, io.nativeGetAnalogInput(1));
        board.setFile("hwmon/hwmon2/device/in0_input", "98765\n");
        assertEquals(9876, io.nativeGetAnalogInput(1));
        board.setFile("hwmon/hwmon1/device/in0_input", "0\n");
        assertEquals(0, io.nativeGetAnalogInput(0));
        board.setFile("hwmon/hwmon1/device/in0_input", "");
        fails(IOException.class, "not enough data read", () -> io.nativeGetAnalogInput(0));
        board.setFile("hwmon/hwmon1/device/in0_input", "----");
        fails(IOException.class, "not a number", () -> io.nativeGetAnalogInput(0));
        fails(IllegalArgumentException.class, "invalid address", () -> io.nativeGetAnalogInput(2));
        fails(IllegalArgumentException.class, "invalid address", () -> io.nativeGetAnalogInput(-1));
    }

    @Test
    void ledsStayOpenAndReopenAfterAFailedWrite() throws Exception {
        QuilmarIOPhytecImpl.class.getName(); // nativeInit has marked both closed
        io.nativeSetLED(0, true);
        io.nativeSetLED(0, false);
        io.nativeSetLED(0, true);
        assertEquals("led green on opens=1 writes=3", board.shown("led green"));
        board.gpio("fail", "led", "green");
        fails(IOException.class, "cannot set LED state", () -> io.nativeSetLED(0, false));
        io.nativeSetLED(0, false);
        assertEquals("led green off opens=2 writes=4", board.shown("led green"));

        io.nativeSetLED(1, true);
        assertEquals("led yellow on opens=1 writes=1", board.shown("led yellow"));
        fails(IllegalArgumentException.class, "invalid address", () -> io.nativeSetLED(2, true));
        fails(IllegalArgumentException.class, "invalid address", () -> io.nativeSetLED(-1, true));
    }
}
