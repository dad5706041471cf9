package de.zavrio.quilmar.gps.records;

/** One sentence from the receiver, as the library hands it to the application. */
public interface NMEARecord {
    String getRecordName();

    String getRecord();
}
