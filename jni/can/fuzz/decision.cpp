// Input: one octet filter count (mod 101), the filter table's entries as
// raw octets, then 32-octet records until the input ends; the awaited
// identifier comes from the first record. Checks the decision's invariants:
// only known bits, error flags always reported, the awaited identifier
// reported exactly when it matches, stored messages only ever copies of
// records seen, firstSeen set on every matching entry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "canfilter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    int filters = data[0] % (CAN_MAX_FILTERS + 1);
    ++data;
    --size;
    CanFilterEntry table[CAN_MAX_FILTERS];
    memset(table, 0, sizeof table);
    for (int i = 0; i < filters; ++i) {
        // id, interval, mask from the input; the rest as loading leaves it.
        uint8_t raw[16] = {};
        size_t n = size < sizeof raw ? size : sizeof raw;
        memcpy(raw, data, n);
        data += n;
        size -= n;
        memcpy(&table[i].id, raw, 4);
        memcpy(&table[i].interval, raw + 4, 4);
        memcpy(table[i].mask, raw + 8, 8);
        table[i].maskSet = 1;
        if (raw[0] & 1) {
            table[i].id = -1;
        }
    }
    int32_t awaited = -1;
    bool first = true;
    while (size >= sizeof(canmsg_t)) {
        canmsg_t m;
        memcpy(&m, data, sizeof m);
        data += sizeof m;
        size -= sizeof m;
        if (first) {
            awaited = static_cast<int32_t>(m.id ^ (static_cast<uint32_t>(m.cob) & 1));
            first = false;
        }
        int result = CAN_decideEvent(table, filters, awaited, m);
        if ((result & ~(CAN_EVENT_FIRE | CAN_EVENT_FILTERED)) != 0) {
            abort();
        }
        if ((m.flags & CAN_ERROR_FLAGS) != 0 && (result & CAN_EVENT_FIRE) == 0) {
            abort();
        }
        bool isAwaited = awaited >= 0 && awaited == static_cast<int32_t>(m.id);
        if (isAwaited != ((result & CAN_EVENT_FILTERED) != 0)) {
            abort();
        }
        for (int i = 0; i < filters; ++i) {
            bool matches = table[i].id == -1 || table[i].id == static_cast<int32_t>(m.id);
            if (matches && table[i].firstSeen != 1) {
                abort();
            }
            if (table[i].firstSeen == 1 && table[i].id != -1 &&
                static_cast<int32_t>(table[i].lastMessage.id) != table[i].id) {
                abort();
            }
        }
    }
    return 0;
}
