// Temperature and analog inputs, read unconverted from the hardware
// monitoring attribute files.
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "jnu.h"
#include "phytecIO.h"

namespace
{

constexpr const char *kTemperatureFile = "/sys/class/hwmon/hwmon0/device/temp1_input";
constexpr const char *kAnalogFiles[] = {"/sys/class/hwmon/hwmon1/device/in0_input",
                                        "/sys/class/hwmon/hwmon2/device/in0_input"};
constexpr size_t kTemperatureReadSize = 5;
constexpr size_t kAnalogReadSize = 4;

bool debugging()
{
    return nativeDebug_phytecAnalogIO == 1;
}

// Opens `path`, reads at most `size` bytes into `text` (NUL-terminated) and
// closes it. Returns the count, or -1 after raising FileNotFoundException.
ssize_t readValue(JNIEnv *env, const char *path, char *text, size_t size)
{
    const int fd = phytecIO_open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        JNU_ThrowByName(env, kFileNotFoundException, path);
        return -1;
    }
    const ssize_t got = shortRead(fd, text, size);
    close(fd);
    const ssize_t count = got < 0 ? 0 : got;
    text[count] = '\0';
    return count;
}

} // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_getTemperatureRaw(JNIEnv *env, jobject,
                                                                                               jint address)
{
    if (address != 0) {
        JNU_ThrowByName(env, kIllegalArgumentException, "invalid address");
        return 0;
    }
    char text[kTemperatureReadSize + 1];
    const ssize_t got = readValue(env, kTemperatureFile, text, kTemperatureReadSize);
    if (got < 0) {
        return 0;
    }
    if (got < 1) {
        if (debugging()) {
            printf("getTemperature: not enough data read: (%d) '%s'\n", static_cast<int>(got), text);
        }
        JNU_ThrowByName(env, kIOException, "not enough data read");
        return 0;
    }
    int64_t value = 0;
    if (!phytecIO_parseDecimal(text, &value)) {
        JNU_ThrowByName(env, kIOException, "not a number");
        return 0;
    }
    const int raw = static_cast<int>(value);
    if (debugging()) {
        printf("rawTemp: %s -> %d (offset)-> %i\n", text, raw, raw);
    }
    return raw;
}

JNIEXPORT jint JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_nativeGetAnalogInput(JNIEnv *env,
                                                                                                  jobject,
                                                                                                  jint address)
{
    if (address < 0 || address > 1) {
        JNU_ThrowByName(env, kIllegalArgumentException, "invalid address");
        return -1;
    }
    char text[kAnalogReadSize + 1];
    const ssize_t got = readValue(env, kAnalogFiles[address], text, kAnalogReadSize);
    if (got < 0) {
        return -1;
    }
    if (got < 1) {
        if (debugging()) {
            printf("nativeGetAnalogInput: not enough data read: (%d) '%s'\n", static_cast<int>(got), text);
        }
        JNU_ThrowByName(env, kIOException, "not enough data read");
        return -1;
    }
    int64_t value = 0;
    if (!phytecIO_parseDecimal(text, &value)) {
        JNU_ThrowByName(env, kIOException, "not a number");
        return -1;
    }
    return static_cast<jint>(value);
}

} // extern "C"
