// In-process cost of the CAN event decision: one record against a table of
// 100 filters (interval and data-change filters mixed, one wildcard), the
// records as a saturated bus brings them (200 identifiers, changing data,
// stamps 111 us apart).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "canfilter.h"

namespace
{

void fillTable(CanFilterEntry *table)
{
    memset(table, 0, sizeof(CanFilterEntry) * CAN_MAX_FILTERS);
    for (int i = 0; i < CAN_MAX_FILTERS; ++i) {
        table[i].id = 0x100 + 2 * i;
        table[i].interval = (i % 3 == 0) ? -1 : 10 * i;
        table[i].maskSet = 1;
        table[i].mask[0] = 0x0F;
    }
    table[CAN_MAX_FILTERS - 1].id = -1;
    table[CAN_MAX_FILTERS - 1].interval = 1000;
}

std::vector<canmsg_t> busRecords(int n)
{
    std::vector<canmsg_t> records(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        canmsg_t &m = records[static_cast<size_t>(i)];
        memset(&m, 0, sizeof m);
        m.id = static_cast<uint32_t>(0x100 + i % 200);
        long us = 111L * i;
        m.seconds = static_cast<int32_t>(1765000000 + us / 1000000);
        m.microseconds = static_cast<int32_t>(us % 1000000);
        m.length = 8;
        for (int b = 0; b < 8; ++b) {
            m.data[b] = static_cast<uint8_t>((i >> (b + 4)) + b);
        }
    }
    return records;
}

void Decision100Filters(benchmark::State &state)
{
    static CanFilterEntry table[CAN_MAX_FILTERS];
    fillTable(table);
    const std::vector<canmsg_t> records = busRecords(9000);
    size_t i = 0;
    int reported = 0;
    for (auto _ : state) {
        reported += CAN_decideEvent(table, CAN_MAX_FILTERS, -1, records[i]) & CAN_EVENT_FIRE;
        if (++i == records.size()) {
            i = 0;
        }
    }
    benchmark::DoNotOptimize(reported);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["ratio_to_bus"] =
        benchmark::Counter(static_cast<double>(state.iterations()) / 9000.0, benchmark::Counter::kIsRate);
}
BENCHMARK(Decision100Filters);

} // namespace

BENCHMARK_MAIN();
