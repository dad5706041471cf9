// Digital IO control: levels, negation, edge, debounce and trigger of the
// sixteen inputs and four outputs through the GPIO driver's attribute files,
// the output devices "/dev/gpio/out0" .. "/dev/gpio/out3" and the snapshot
// "/dev/gpio/ALL".
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "jnu.h"
#include "phytecIO.h"

int phytecDigitalOut_fds[kDigitalOutputs] = {-1, -1, -1, -1};

namespace
{

constexpr const char *kInputAttributes = "/sys/class/gpio/in";
constexpr const char *kOutputAttributes = "/sys/class/gpio/out";
constexpr const char *kOutputDevice = "/dev/gpio/out";
constexpr const char *kAllDevice = "/dev/gpio/ALL";
constexpr int kAttributeReadSize = 20;
constexpr int kAllSize = 21;

bool debugging()
{
    return nativeDebug_phytecDigitalIO == 1;
}

bool validInput(JNIEnv *env, jint address)
{
    if (address < 0 || address >= kDigitalInputs) {
        JNU_ThrowByName(env, kIllegalArgumentException, "invalid address");
        return false;
    }
    return true;
}

bool validOutput(JNIEnv *env, jint address)
{
    if (address < 0 || address >= kDigitalOutputs) {
        JNU_ThrowByName(env, kIllegalArgumentException, "invalid address");
        return false;
    }
    return true;
}

void inputPath(char *out, size_t size, jint address, const char *attribute)
{
    snprintf(out, size, "%s%X%s", kInputAttributes, static_cast<unsigned>(address), attribute);
}

void outputPath(char *out, size_t size, jint address, const char *attribute)
{
    snprintf(out, size, "%s%d%s", kOutputAttributes, static_cast<int>(address), attribute);
}

// Reads at most `size` bytes of `path` into `buffer` (NUL-terminated after
// them) and closes the file. Returns the count, or -1 after raising
// FileNotFoundException when the file cannot be opened.
ssize_t readAttribute(JNIEnv *env, const char *path, char *buffer, size_t size)
{
    const int fd = phytecIO_open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        JNU_ThrowByName(env, kFileNotFoundException, path);
        return -1;
    }
    ssize_t got = shortRead(fd, buffer, size);
    const int error = errno;
    close(fd);
    buffer[got > 0 ? got : 0] = '\0';
    errno = error;
    return got < 0 ? 0 : got;
}

// Raises the "not enough data read" failure, with the debug line when asked.
void tooShort(JNIEnv *env, bool withDebugLine, int bufferSize, ssize_t readCount)
{
    if (withDebugLine && debugging()) {
        printf("errno: %d bufferSize: %d, readCount: %d\n", errno, bufferSize, static_cast<int>(readCount));
    }
    JNU_ThrowByName(env, kIOException, "not enough data read");
}

// Writes `length` bytes of `text` to `path` and closes it; raises
// FileNotFoundException or IOException "cannot write" on failure.
void writeAttribute(JNIEnv *env, const char *path, const char *text, size_t length)
{
    const int fd = phytecIO_open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        JNU_ThrowByName(env, kFileNotFoundException, path);
        return;
    }
    const ssize_t written = write(fd, text, length);
    close(fd);
    if (written != static_cast<ssize_t>(length)) {
        JNU_ThrowByName(env, kIOException, "cannot write");
    }
}

jboolean readLevel(JNIEnv *env, const char *path)
{
    char text[4];
    const ssize_t got = readAttribute(env, path, text, 2);
    if (got < 0) {
        return JNI_FALSE;
    }
    if (got < 2) {
        tooShort(env, false, 2, got);
        return JNI_FALSE;
    }
    return strncmp(text, "hi", 2) == 0 ? JNI_TRUE : JNI_FALSE;
}

jboolean readNegated(JNIEnv *env, const char *path, const char *debugFormat)
{
    char text[kAttributeReadSize + 1];
    const ssize_t got = readAttribute(env, path, text, kAttributeReadSize);
    if (got < 0) {
        return JNI_FALSE;
    }
    if (debugging()) {
        printf(debugFormat, text);
    }
    if (got < 2) {
        tooShort(env, true, kAttributeReadSize, got);
        return JNI_FALSE;
    }
    return (strncmp(text, "yes", 3) == 0 || text[0] == '1') ? JNI_TRUE : JNI_FALSE;
}

} // namespace

void phytecDigitalOut_init()
{
    for (int &fd : phytecDigitalOut_fds) {
        fd = -1;
    }
}

// Opens the output device if it is not open yet: 0 when open, -1 when the
// open failed.
static int phytecDigitalOut_initDevice(int address)
{
    if (phytecDigitalOut_fds[address] >= 0) {
        return 0;
    }
    char path[32];
    snprintf(path, sizeof path, "%s%d", kOutputDevice, address);
    phytecDigitalOut_fds[address] = phytecIO_open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK);
    return phytecDigitalOut_fds[address] >= 0 ? 0 : -1;
}

extern "C" {

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_setDigitalOutput(JNIEnv *env, jobject,
                                                                                              jint address,
                                                                                              jboolean value)
{
    if (!validOutput(env, address)) {
        return;
    }
    if (phytecDigitalOut_initDevice(address) != 0) {
        JNU_ThrowByName(env, kIOException, "cannot init device");
        return;
    }
    const char *text = value ? "1\n" : "0\n";
    if (write(phytecDigitalOut_fds[address], text, 2) != 2) {
        close(phytecDigitalOut_fds[address]);
        phytecDigitalOut_fds[address] = -1;
        JNU_ThrowByName(env, kIOException, "cannot set digital output");
    }
}

JNIEXPORT jboolean JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_getDigitalOutput(JNIEnv *env,
                                                                                                  jobject,
                                                                                                  jint address)
{
    if (!validOutput(env, address)) {
        return JNI_FALSE;
    }
    char path[48];
    outputPath(path, sizeof path, address, "/level");
    return readLevel(env, path);
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_setDigitalOutputNegated(
    JNIEnv *env, jobject, jint address, jboolean negated)
{
    if (!validOutput(env, address)) {
        return;
    }
    char path[48];
    outputPath(path, sizeof path, address, "/negated");
    writeAttribute(env, path, negated ? "y" : "n", 1);
}

JNIEXPORT jboolean JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_isDigitalOutputNegated(
    JNIEnv *env, jobject, jint address)
{
    if (!validOutput(env, address)) {
        return JNI_FALSE;
    }
    char path[48];
    outputPath(path, sizeof path, address, "/negated");
    return readNegated(env, path, "isDigitalOutputNegated: '%s'\n");
}

JNIEXPORT jboolean JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_getDigitalInput(JNIEnv *env,
                                                                                                 jobject,
                                                                                                 jint address)
{
    if (!validInput(env, address)) {
        return JNI_FALSE;
    }
    char path[48];
    inputPath(path, sizeof path, address, "/level");
    return readLevel(env, path);
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_setDigitalInputNegated(
    JNIEnv *env, jobject, jint address, jboolean negated)
{
    if (!validInput(env, address)) {
        return;
    }
    char path[48];
    inputPath(path, sizeof path, address, "/negated");
    writeAttribute(env, path, negated ? "y" : "n", 1);
}

JNIEXPORT jboolean JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_isDigitalInputNegated(
    JNIEnv *env, jobject, jint address)
{
    if (!validInput(env, address)) {
        return JNI_FALSE;
    }
    char path[48];
    inputPath(path, sizeof path, address, "/negated");
    return readNegated(env, path, "isDigitalInputNegated: '%s'\n");
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_setDigitalInputEdge(JNIEnv *env,
                                                                                                 jobject,
                                                                                                 jint address,
                                                                                                 jstring edge)
{
    if (!validInput(env, address)) {
        return;
    }
    if (edge == nullptr) {
        JNU_ThrowByName(env, "java.lang.NullPointerException", "edge");
        return;
    }
    const char *text = env->GetStringUTFChars(edge, nullptr);
    if (text == nullptr) {
        return;
    }
    char path[48];
    inputPath(path, sizeof path, address, "/edge");
    writeAttribute(env, path, text, strlen(text));
    env->ReleaseStringUTFChars(edge, text);
}

JNIEXPORT jstring JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_nativeGetDigitalInputTriggerEdge(
    JNIEnv *env, jobject, jint address)
{
    if (!validInput(env, address)) {
        return nullptr;
    }
    char path[48];
    inputPath(path, sizeof path, address, "/edge");
    char text[kAttributeReadSize + 1];
    const ssize_t got = readAttribute(env, path, text, kAttributeReadSize);
    if (got < 0) {
        return nullptr;
    }
    if (got < 2) {
        tooShort(env, true, kAttributeReadSize, got);
        return nullptr;
    }
    return env->NewStringUTF(text);
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_setDigitalInputDebounce(
    JNIEnv *env, jobject, jint address, jlong debounce)
{
    if (!validInput(env, address)) {
        return;
    }
    if (debounce < 0) {
        JNU_ThrowByName(env, kIllegalArgumentException, "debounce cannot be less then zero");
        return;
    }
    // The driver holds the value in 32 bits; cutting a larger one to its low
    // bits would set an unrelated time.
    if (debounce > INT_MAX) {
        JNU_ThrowByName(env, kIllegalArgumentException, "debounce cannot be greater then 2147483647");
        return;
    }
    char path[48];
    inputPath(path, sizeof path, address, "/debounce");
    char text[16];
    const int length = snprintf(text, sizeof text, "%d", static_cast<int>(debounce));
    writeAttribute(env, path, text, static_cast<size_t>(length));
}

JNIEXPORT jlong JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_getDigitalInputDebounce(
    JNIEnv *env, jobject, jint address)
{
    if (!validInput(env, address)) {
        return 0;
    }
    char path[48];
    inputPath(path, sizeof path, address, "/debounce");
    char text[kAttributeReadSize + 1];
    const ssize_t got = readAttribute(env, path, text, kAttributeReadSize);
    if (got < 0) {
        return 0;
    }
    if (got == 0) {
        tooShort(env, true, kAttributeReadSize, got);
        return 0;
    }
    int64_t value = 0;
    if (!phytecIO_parseDecimal(text, &value)) {
        JNU_ThrowByName(env, kIOException, "not a number");
        return 0;
    }
    return static_cast<jlong>(value);
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_triggeDigitalInput(JNIEnv *env,
                                                                                                jobject,
                                                                                                jint address)
{
    if (!validInput(env, address)) {
        return;
    }
    char path[48];
    inputPath(path, sizeof path, address, "/trigger");
    writeAttribute(env, path, "1", 1);
}

JNIEXPORT jbooleanArray JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_nativeGetAll(JNIEnv *env,
                                                                                                   jobject)
{
    const int fd = phytecIO_open(kAllDevice, O_RDONLY);
    if (fd < 0) {
        JNU_ThrowByName(env, kFileNotFoundException, kAllDevice);
        return nullptr;
    }
    char text[kAllSize];
    const ssize_t got = shortRead(fd, text, sizeof text);
    const int error = errno;
    close(fd);
    errno = error;
    if (got < kAllSize) {
        tooShort(env, true, kAllSize, got);
        return nullptr;
    }
    jboolean values[kAllSize];
    for (int i = 0; i < kAllSize; ++i) {
        values[i] = (text[i] == '1' || text[i] == 'H') ? JNI_TRUE : JNI_FALSE;
    }
    jbooleanArray array = env->NewBooleanArray(kAllSize);
    if (array == nullptr) {
        return nullptr;
    }
    env->SetBooleanArrayRegion(array, 0, kAllSize, values);
    return array;
}

} // extern "C"
