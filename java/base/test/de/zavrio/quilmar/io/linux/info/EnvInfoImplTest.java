package de.zavrio.quilmar.io.linux.info;

import static org.junit.jupiter.api.Assertions.assertEquals;

import de.zavrio.quilmar.test.NativeLibraries;
import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

class EnvInfoImplTest {
    @BeforeAll
    static void load() {
        NativeLibraries.load();
    }

    @Test
    void processAndParentIdsAreTheVmsOwn() throws Exception {
        EnvInfoImpl info = new EnvInfoImpl();
        assertEquals(ProcessHandle.current().pid(), info.getPid());
        // Field 4 of /proc/self/stat, after the parenthesised command name.
        String stat = Files.readString(Path.of("/proc/self/stat"));
        String[] rest = stat.substring(stat.lastIndexOf(')') + 2).split(" ");
        assertEquals(Integer.parseInt(rest[1]), info.getPPid());
    }
}
