package de.zavrio.quilmar.gps;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;

import de.zavrio.quilmar.gps.records.AbstractPositionRecord;
import de.zavrio.quilmar.gps.records.BaseNMEARecord;
import de.zavrio.quilmar.gps.records.NMEARecord;

final class NMEARecordCheck {
    private NMEARecordCheck() {}

    static void assertBase(NMEARecord record, String name) {
        assertEquals(BaseNMEARecord.class, record.getClass());
        assertFalse(record instanceof AbstractPositionRecord);
        assertEquals(name, record.getRecordName());
    }
}
