package de.zavrio.quilmar.demo;

import java.util.List;
import java.util.Map;

/** The parts the command line asks for, in the order they start. */
final class Parts {
    private Parts() {}

    static void add(List<Part> parts, Map<String, String> options) {
        if (options.containsKey("gps")) {
            parts.add(new GpsPart(options.get("gps")));
        }
        if (options.containsKey("can")) {
            parts.add(new CanPart(options.get("can")));
        }
        if (options.containsKey("io")) {
            parts.add(new IoPart());
        }
        if (options.containsKey("wifi")) {
            parts.add(new WifiPart(options.get("wifi")));
        }
    }
}
