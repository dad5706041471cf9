package de.zavrio.quilmar.demo;

/** One source of the demo: started once, stopped once, then summarised. */
interface Part {
    /** The mark of its console lines. */
    String name();

    void start() throws Exception;

    /** Ends the part's threads; must return even when start failed half-way. */
    void stop();

    /** One line: what the part did. */
    String summary();
}
