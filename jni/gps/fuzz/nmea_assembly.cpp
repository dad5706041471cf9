// Sentence assembly from an arbitrary byte stream, each sentence then checked
// and parsed as the reader does.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "gps.h"
#include "gpsrecords.h"

namespace
{
class Bytes final : public GPS_ByteSource
{
  public:
    Bytes(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    ssize_t read(char *into, size_t room) override
    {
        if (room == 0 || next_ >= size_) {
            return 0;
        }
        *into = static_cast<char>(data_[next_++]);
        return 1;
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t next_ = 0;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    readData = 1;
    Bytes source(data, size);
    std::atomic<int> received{0};
    char line[kNmeaLineBuffer];
    NativeNmeaRecord record;
    for (;;) {
        std::memset(line, 0, sizeof line);
        if (GPS_readSentence(&received, source, line, sizeof line) != 0) {
            break;
        }
        if (std::strlen(line) >= 2 && isChecksumValid(line) == 0) {
            std::memset(&record, 0, sizeof record);
            parseRecord(line, &record);
        }
    }
    return 0;
}
