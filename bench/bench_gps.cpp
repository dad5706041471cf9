// In-process cost of one NMEA sentence: assembly from the byte stream,
// checksum test and parse, on the real receiver logs.
//
//   bench_gps                      Google Benchmark figures (sentences/s)
//   bench_gps --sentences N        only processes N sentences (for callgrind)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gps.h"
#include "gpsrecords.h"

namespace
{

// Every checksum-valid line of the logs, CR LF ended, in one stream.
std::string loadStream()
{
    static const char *logs[] = {"GPSmap-76S.log", "bu353s4.log", "haicom-305N.log", "mt3339.log",
                                 "telit-he910.log"};
    std::string stream;
    for (const char *name : logs) {
        std::ifstream in(std::string(QUILMAR_SOURCE_DIR) + "/jni/gps/testdata/" + name);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] != '$') {
                continue;
            }
            const size_t star = line.find('*');
            if (star == std::string::npos) {
                continue;
            }
            unsigned sum = 0;
            for (size_t i = 1; i < star; ++i) {
                sum ^= static_cast<unsigned char>(line[i]);
            }
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02X", sum);
            if (line.substr(star + 1) == digits) {
                stream += line + "\r\n";
            }
        }
    }
    return stream;
}

class Loop final : public GPS_ByteSource
{
  public:
    explicit Loop(const std::string &bytes) : bytes_(bytes) {}
    ssize_t read(char *into, size_t) override
    {
        *into = bytes_[next_];
        next_ = next_ + 1 == bytes_.size() ? 0 : next_ + 1;
        return 1;
    }

  private:
    const std::string &bytes_;
    size_t next_ = 0;
};

// One sentence as the reader step handles it; 0 when it parsed.
int oneSentence(Loop &source, NativeNmeaRecord *record)
{
    static std::atomic<int> received{0};
    char line[kNmeaLineBuffer];
    std::memset(line, 0, sizeof line);
    GPS_readSentence(&received, source, line, sizeof line);
    if (std::strlen(line) < 2 || isChecksumValid(line) < 0) {
        return -1;
    }
    return parseRecord(line, record);
}

void ReadChecksumParse(benchmark::State &state)
{
    readData = 1;
    static const std::string stream = loadStream();
    Loop source(stream);
    NativeNmeaRecord record;
    int failed = 0;
    for (auto _ : state) {
        failed += oneSentence(source, &record) != 0;
        benchmark::DoNotOptimize(record);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["failed"] = failed;
}
BENCHMARK(ReadChecksumParse);

void ChecksumOnly(benchmark::State &state)
{
    const char *sentence = "$GPRMC,133417.634,A,4907.6295,N,01001.4164,E,3.39,87.82,280406,,,A*5D";
    for (auto _ : state) {
        benchmark::DoNotOptimize(isChecksumValid(sentence));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ChecksumOnly);

void ParseOnly(benchmark::State &state)
{
    const char *sentence =
        "$GPGGA,202640.000,4404.1306,N,12118.8515,W,2,10,0.98,1127.7,M,-19.6,M,0000,0000*6C";
    NativeNmeaRecord record;
    for (auto _ : state) {
        benchmark::DoNotOptimize(parseRecord(sentence, &record));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ParseOnly);

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--sentences") == 0) {
        readData = 1;
        static const std::string stream = loadStream();
        Loop source(stream);
        NativeNmeaRecord record;
        const long n = std::atol(argv[2]);
        long parsed = 0;
        for (long i = 0; i < n; ++i) {
            parsed += oneSentence(source, &record) == 0;
        }
        std::printf("sentences %ld parsed %ld\n", n, parsed);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
