package de.zavrio.quilmar.io.linux.comm.channel.wifi.wpasupplicant.control.impl;

import de.zavrio.quilmar.test.NativeLibraries;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/** The scripted control socket (sim/supplicant), for what the real daemon cannot do. */
final class ScriptedSupplicant {
    final Path dir;
    final Path socket;
    private final Process process;
    private final Writer instructions;
    private final BlockingQueue<String> answers = new LinkedBlockingQueue<>();
    private final BlockingQueue<String> received = new LinkedBlockingQueue<>();

    ScriptedSupplicant() throws Exception {
        dir = Files.createTempDirectory(Path.of("/dev/shm"), "wpa-script");
        socket = dir.resolve("wlan0");
        try {
            process = new ProcessBuilder(NativeLibraries.hostProgram("supplicant-script").toString(), socket.toString())
                    .redirectError(ProcessBuilder.Redirect.INHERIT).start();
        } catch (IOException e) {
            Files.delete(dir);
            throw e;
        }
        instructions = new java.io.OutputStreamWriter(process.getOutputStream(), StandardCharsets.UTF_8);
        Thread reader = new Thread(() -> {
            try (BufferedReader in = new BufferedReader(
                    new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))) {
                for (String line; (line = in.readLine()) != null;) {
                    (line.startsWith("recv ") ? received : answers).add(line);
                }
            } catch (IOException e) {
                answers.add("error " + e);
            }
        }, "supplicant-script output");
        reader.setDaemon(true);
        reader.start();
        try {
            expect("ready");
        } catch (AssertionError e) {
            close();
            throw e;
        }
    }

    String path() {
        return socket.toString();
    }

    /** One instruction (see supplicant_script.cpp), answered "ok". */
    void instruct(String line) throws IOException, InterruptedException {
        instructions.write(line + "\n");
        instructions.flush();
        expect("ok");
    }

    /** The next command the socket received, escaped as the script prints it. */
    String nextReceived() throws InterruptedException {
        String line = received.poll(10, TimeUnit.SECONDS);
        if (line == null) {
            throw new AssertionError("supplicant-script received nothing");
        }
        return line.substring("recv ".length());
    }

    private void expect(String answer) throws InterruptedException {
        String line = answers.poll(20, TimeUnit.SECONDS);
        if (!answer.equals(line)) {
            throw new AssertionError("supplicant-script answered " + line + " instead of " + answer);
        }
    }

    void close() throws Exception {
        try {
            instructions.write("quit\n");
            instructions.close();
        } catch (IOException gone) {
            // already ended
        }
        if (!process.waitFor(10, TimeUnit.SECONDS)) {
            process.destroyForcibly().waitFor();
        }
        Files.deleteIfExists(socket);
        Files.deleteIfExists(dir);
    }
}
