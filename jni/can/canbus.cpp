#include "canbus.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "can4linuxAdapter.h"
#include "jnu.h"
#include "jnu_scope.h"

std::atomic<unsigned char> timeoutFlag{0};
std::atomic<int32_t> writeSleeptime{0};

jfieldID FID_CANBus_device;
jfieldID FID_CANBus_baud;
jfieldID FID_CANBus_blocking;
jfieldID FID_CANBus_readOnly;
jfieldID FID_CANBus_sleeptime;
jfieldID FID_CANBus_fd;
jfieldID FID_CANBus_messageWritten;
jfieldID FID_CANBus_messageToWrite;
jfieldID FID_CANBus_writeResponse;
jmethodID MID_CANBus_isMessageReadyToWrite;
jmethodID MID_CANBus_notifyAboutMessageSend;
jmethodID MID_CANBus_fireCANBusEvent;
jfieldID FID_CANBus_filterArray;
jmethodID MID_CANBus_buildFilterArray;
jfieldID FID_CANBus_canMessagesSendArray;
jfieldID FID_CANBus_canMessagesReceiveArray;
jmethodID MID_CANBus_isMessagesReadyToWrite;
jmethodID MID_CANBus_notifyAboutBulkMessages;
jfieldID FID_CANBus_filterMessageId;
jfieldID FID_CANBus_filteredMessage;
jmethodID MID_CANBus_notifyAboutFilteredMessage;
jfieldID FID_CANBus_writeSleeptime;

jclass CLASS_CANMessage;
jmethodID MID_CANMessage_Constructor;
jfieldID FID_CANMessage_flags;
jfieldID FID_CANMessage_cob;
jfieldID FID_CANMessage_id;
jfieldID FID_CANMessage_seconds;
jfieldID FID_CANMessage_mikroseconds;
jfieldID FID_CANMessage_data;

jfieldID FID_CANMessageFilter_id;
jfieldID FID_CANMessageFilter_interval;
jfieldID FID_CANMessageFilter_mask;
jfieldID FID_CANMessageFilter_delta;
jfieldID FID_CANMessageFilter_trigger;
jfieldID FID_CANMessageFilter_triggerType;

namespace
{

constexpr const char *kIOException = "java.io.IOException";
constexpr const char *kIllegalState = "java.lang.IllegalStateException";
constexpr const char *kIllegalArgument = "java.lang.IllegalArgumentException";
constexpr const char *kCANBusException = "de.zavrio.quilmar.io.can.CANBusException";

// A blocking reader looks at the Java field fd this often while the bus is
// silent, so that setting it negative ends the loop even though nothing
// arrives (and even when the device was closed under the reader).
constexpr int kStopCheckMs = 200;

// Readers and closeCanDevice meet here: a close marks the descriptor,
// pokes the wake-up pipe that blocking readers also wait on, and closes
// only once no reader is inside a wait or read on that number, so a reader
// never reads a number that open() has meanwhile handed to someone else.
constexpr int kTrackedFds = 4096;
std::atomic<bool> closing[kTrackedFds];
std::atomic<int> readersInside[kTrackedFds];
std::atomic<int> wakeRead{-1};
std::atomic<int> wakeWrite{-1};

void makeWakePipe()
{
    static std::atomic_flag made = ATOMIC_FLAG_INIT;
    if (made.test_and_set()) {
        while (wakeRead.load() < 0) {
            sched_yield();
        }
        return;
    }
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeWrite = p[1];
        wakeRead = p[0];
    } else {
        wakeRead = INT32_MAX; // no pipe: readers fall back to the fd checks
    }
}

bool tracked(int fd)
{
    return fd >= 0 && fd < kTrackedFds;
}

// Marks a reader inside a wait or read on fd for its scope.
class ReaderInside
{
  public:
    explicit ReaderInside(int fd) : fd_(tracked(fd) ? fd : -1)
    {
        if (fd_ >= 0) {
            ++readersInside[fd_];
        }
    }
    ~ReaderInside()
    {
        if (fd_ >= 0) {
            --readersInside[fd_];
        }
    }
    ReaderInside(const ReaderInside &) = delete;
    ReaderInside &operator=(const ReaderInside &) = delete;

  private:
    int fd_;
};

bool closingRequested(int fd)
{
    return tracked(fd) && closing[fd].load();
}

// Results of CAN_readRecords besides a record count.
constexpr int kReadStopped = -2; // fd was set negative while waiting
constexpr int kReadFailed = -99; // the device is gone; exception pending

void throwErrno(JNIEnv *env, const char *className, int error)
{
    JNU_ThrowByName(env, className, strerror(error));
}

void writePause()
{
    int32_t ns = writeSleeptime.load(std::memory_order_relaxed);
    if (ns == 0) {
        return;
    }
    // A negative value or a second or more is refused by nanosleep: no pause.
    timespec pause{0, ns};
    nanosleep(&pause, nullptr);
}

// Errors after which the descriptor will never deliver again.
bool deviceGone(int error)
{
    return error == EBADF || error == ENODEV || error == ENXIO || error == EIO || error == EPIPE ||
           error == ECONNRESET || error == ENOTCONN;
}

// Up to CAN_RX_RECORDS records into `records`: the count (0 when nothing
// came or the read failed transiently), kReadStopped, or kReadFailed with
// an IOException pending when the device is gone. A blocking read waits in
// slices, re-reading the Java field fd between them.
int CAN_readRecords(JNIEnv *env, jobject bus, int fd, bool blocking, canmsg_t *records)
{
    ReaderInside inside(fd);
    if (closingRequested(fd)) {
        return kReadStopped;
    }
    if (blocking) {
        makeWakePipe();
        for (;;) {
            int wake = wakeRead.load();
            pollfd p[2] = {{fd, POLLIN, 0}, {wake == INT32_MAX ? -1 : wake, POLLIN, 0}};
            int ready = poll(p, 2, kStopCheckMs);
            if (closingRequested(fd)) {
                return kReadStopped;
            }
            if (ready > 0 && p[0].revents != 0) {
                break;
            }
            if (ready > 0) {
                // Another device's close: give its reader the moment to see it.
                sched_yield();
                continue;
            }
            if (ready < 0 && errno != EINTR) {
                break; // the read below reports it
            }
            if (env->GetIntField(bus, FID_CANBus_fd) < 0) {
                return kReadStopped;
            }
        }
    }
    ssize_t got = read(fd, records, CAN_RX_RECORDS);
    if (got >= 0) {
        return static_cast<int>(got > CAN_RX_RECORDS ? CAN_RX_RECORDS : got);
    }
    int error = errno;
    if (!deviceGone(error)) {
        return 0;
    }
    if (closingRequested(fd) || env->GetIntField(bus, FID_CANBus_fd) < 0) {
        return kReadStopped;
    }
    throwErrno(env, kIOException, error);
    return kReadFailed;
}

// Copies at most 8 bytes of a Java byte array (shorter arrays leave the rest
// of `out` as it is). Returns the number copied.
int copyBytes(JNIEnv *env, jbyteArray array, uint8_t *out)
{
    jsize length = env->GetArrayLength(array);
    int n = length > 8 ? 8 : static_cast<int>(length);
    env->GetByteArrayRegion(array, 0, n, reinterpret_cast<jbyte *>(out));
    return n;
}

// Loads one of the byte arrays mask, delta, trigger of a filter.
int32_t loadFilterBytes(JNIEnv *env, jobject filter, jfieldID field, const char *name, uint8_t *out)
{
    JNU_LocalRef array(env, env->GetObjectField(filter, field));
    if (array.get() == nullptr) {
        return 0;
    }
    if (CAN_logging()) {
        printf("debug: copyFilterArray - %s: %d\n", name,
               static_cast<int>(reinterpret_cast<intptr_t>(array.get())));
    }
    copyBytes(env, static_cast<jbyteArray>(array.get()), out);
    return 1;
}

// Whether a record read during a bulk transfer confirms the expected data:
// all expected bytes must be there and equal.
bool confirms(const canmsg_t &record, const uint8_t *expected, int expectedLength)
{
    if (CAN_recordLength(record) < expectedLength) {
        return false;
    }
    return memcmp(record.data, expected, static_cast<size_t>(expectedLength)) == 0;
}

} // namespace

int copyFilterArray(CanFilterEntry *table, jobjectArray filters, JNIEnv *env)
{
    const bool log = CAN_logging();
    if (log) {
        puts("debug: copyFilterArray");
    }
    jsize n = env->GetArrayLength(filters);
    if (log) {
        printf("debug: copyFilterArray - filterArrayLenth: %d\n", static_cast<int>(n));
    }
    for (jsize i = 0; i < n; ++i) {
        if (log) {
            puts("\ndebug: copyFilterArray - before access filter obj");
        }
        JNU_LocalRef filter(env, env->GetObjectArrayElement(filters, i));
        if (filter.get() == nullptr) {
            return -1;
        }
        CanFilterEntry &e = table[i];
        // Unloaded masks count every bit.
        memset(&e, 0, sizeof e);
        e.id = env->GetIntField(filter.get(), FID_CANMessageFilter_id);
        e.interval = static_cast<int32_t>(env->GetLongField(filter.get(), FID_CANMessageFilter_interval));
        e.firstSeen = 0;
        if (log) {
            printf("debug: copyFilterArray id:%d interval:%d\n", e.id, e.interval);
        }
        if (e.interval == -1) {
            if (log) {
                puts("debug: copyFilterArray - interval not set, load mask, delta, trigger and triggerType");
            }
            e.maskSet = loadFilterBytes(env, filter.get(), FID_CANMessageFilter_mask, "jmaskRef", e.mask);
            e.deltaSet = loadFilterBytes(env, filter.get(), FID_CANMessageFilter_delta, "jdeltaRef", e.delta);
            e.triggerSet =
                loadFilterBytes(env, filter.get(), FID_CANMessageFilter_trigger, "jtriggerRef", e.trigger);
            e.triggerType = env->GetIntField(filter.get(), FID_CANMessageFilter_triggerType);
            if (log) {
                printf("debug: copyFilterArray - triggerType: %d\n", e.triggerType);
            }
        }
        if (log) {
            dumpMessageFilter(e);
            puts("debug: copyFilterArray - filter done");
        }
    }
    if (log) {
        puts("debug: copyFilterArray - end");
    }
    return 0;
}

int CAN_isEventInteressting(JNIEnv *env, jobject bus, CanFilterEntry *table, int filters, canmsg_t m)
{
    int32_t awaited = env->GetIntField(bus, FID_CANBus_filterMessageId);
    return CAN_decideEvent(table, filters, awaited, m);
}

void CAN_fireEvent(canmsg_t m, int decision, JNIEnv *env, jobject bus)
{
    JNU_LocalRef message(env, env->NewObject(CLASS_CANMessage, MID_CANMessage_Constructor));
    if (message.get() == nullptr) {
        return;
    }
    env->SetIntField(message.get(), FID_CANMessage_id, static_cast<jint>(m.id));
    env->SetIntField(message.get(), FID_CANMessage_cob, m.cob);
    env->SetIntField(message.get(), FID_CANMessage_flags, m.flags);
    env->SetLongField(message.get(), FID_CANMessage_seconds, static_cast<jlong>(m.seconds));
    env->SetLongField(message.get(), FID_CANMessage_mikroseconds, static_cast<jlong>(m.microseconds));
    int length = CAN_recordLength(m);
    JNU_LocalRef data(env, env->NewByteArray(length));
    if (data.get() == nullptr) {
        return;
    }
    env->SetByteArrayRegion(static_cast<jbyteArray>(data.get()), 0, length,
                            reinterpret_cast<const jbyte *>(m.data));
    env->SetObjectField(message.get(), FID_CANMessage_data, data.get());
    if ((decision & CAN_EVENT_FIRE) != 0) {
        env->CallVoidMethod(bus, MID_CANBus_fireCANBusEvent, message.get());
        if (env->ExceptionCheck()) {
            return;
        }
    }
    if ((decision & CAN_EVENT_FILTERED) != 0) {
        env->SetObjectField(bus, FID_CANBus_filteredMessage, message.get());
        env->SetIntField(bus, FID_CANBus_filterMessageId, -1);
        env->CallVoidMethod(bus, MID_CANBus_notifyAboutFilteredMessage);
    }
}

void HandleReceivedCANMessage(JNIEnv *env, jobject bus, CanFilterEntry *table, int filters, int count,
                              const canmsg_t *records)
{
    CAN_DebugEvent("received", records, count);
    for (int i = 0; i < count; ++i) {
        int decision = CAN_isEventInteressting(env, bus, table, filters, records[i]);
        if (decision > 0) {
            CAN_fireEvent(records[i], decision, env, bus);
        }
        // A callback that threw ends the batch: the loop hands the
        // exception to its caller.
        if (env->ExceptionCheck()) {
            break;
        }
    }
    if (CAN_logging()) {
        printf("Received with ret=%d\n", count);
    }
}

int writeCANMessage(JNIEnv *env, jobject message, int fd)
{
    canmsg_t record{};
    record.id = static_cast<uint32_t>(env->GetIntField(message, FID_CANMessage_id));
    record.cob = env->GetIntField(message, FID_CANMessage_cob);
    record.flags = env->GetIntField(message, FID_CANMessage_flags);
    JNU_LocalRef data(env, env->GetObjectField(message, FID_CANMessage_data));
    if (data.get() != nullptr) {
        record.length =
            static_cast<int16_t>(copyBytes(env, static_cast<jbyteArray>(data.get()), record.data));
    }
    CAN_DebugSingleEvent("try to write", record);
    writePause();
    int result = static_cast<int>(write(fd, &record, 1));
    int error = errno;
    writePause();
    if (CAN_logging()) {
        printf("write result: %d\n", result);
    }
    errno = error;
    return result;
}

void writePendingMessage(JNIEnv *env, jobject bus, int fd)
{
    const bool log = CAN_logging();
    if (env->CallBooleanMethod(bus, MID_CANBus_isMessageReadyToWrite) != JNI_TRUE || env->ExceptionCheck()) {
        return;
    }
    int ret;
    {
        JNU_LocalRef message(env, env->GetObjectField(bus, FID_CANBus_messageToWrite));
        if (message.get() == nullptr) {
            if (log) {
                puts("writePendingMessage: unkown state messageToWrite is NULL");
            }
            return;
        }
        ret = writeCANMessage(env, message.get(), fd);
        if (ret < 1 && log) {
            printf("writePendingMessage: ret: %d\n", ret);
        }
    }
    env->SetIntField(bus, FID_CANBus_writeResponse, ret);
    env->SetBooleanField(bus, FID_CANBus_messageWritten, JNI_TRUE);
    env->CallVoidMethod(bus, MID_CANBus_notifyAboutMessageSend);
    if (log) {
        puts("writePendingMessage: pending message written");
    }
}

void writePendingMessages(JNIEnv *env, jobject bus, int fd)
{
    if (env->CallBooleanMethod(bus, MID_CANBus_isMessagesReadyToWrite) != JNI_TRUE || env->ExceptionCheck()) {
        return;
    }
    JNU_LocalRef send(env, env->GetObjectField(bus, FID_CANBus_canMessagesSendArray));
    JNU_LocalRef expected(env, env->GetObjectField(bus, FID_CANBus_canMessagesReceiveArray));
    // A missing array counts as an empty one.
    auto *sendArray = static_cast<jobjectArray>(send.get());
    auto *expectedArray = static_cast<jobjectArray>(expected.get());
    jsize n = sendArray != nullptr ? env->GetArrayLength(sendArray) : 0;
    jsize m = expectedArray != nullptr ? env->GetArrayLength(expectedArray) : 0;
    if (n != m) {
        JNU_ThrowByName(env, kIllegalArgument, "Send array an receive array not the same size");
        return;
    }
    // Refuse the whole transfer before anything is sent.
    for (jsize i = 0; i < n; ++i) {
        JNU_LocalRef s(env, env->GetObjectArrayElement(sendArray, i));
        JNU_LocalRef e(env, env->GetObjectArrayElement(expectedArray, i));
        if (s.get() == nullptr || e.get() == nullptr) {
            JNU_ThrowByName(env, kIllegalArgument, "null element in send or receive array");
            return;
        }
    }
    const bool blocking = env->GetBooleanField(bus, FID_CANBus_blocking) == JNI_TRUE;
    canmsg_t answers[CAN_RX_RECORDS];
    for (jsize i = 0; i < n; ++i) {
        JNU_LocalRef s(env, env->GetObjectArrayElement(sendArray, i));
        JNU_LocalRef e(env, env->GetObjectArrayElement(expectedArray, i));
        uint32_t expectedId = static_cast<uint32_t>(env->GetIntField(e.get(), FID_CANMessage_id));
        uint8_t expectedData[8] = {};
        int expectedLength = 0;
        {
            JNU_LocalRef data(env, env->GetObjectField(e.get(), FID_CANMessage_data));
            if (data.get() != nullptr) {
                expectedLength = copyBytes(env, static_cast<jbyteArray>(data.get()), expectedData);
            }
        }
        bool good = false;
        for (int attempt = 0; attempt < 3 && !good; ++attempt) {
            good = true;
            writeCANMessage(env, s.get(), fd);
            int got = CAN_readRecords(env, bus, fd, blocking, answers);
            if (got == kReadFailed || got == kReadStopped) {
                return;
            }
            for (int k = 0; k < got; ++k) {
                if (answers[k].id == expectedId && !confirms(answers[k], expectedData, expectedLength)) {
                    good = false;
                }
            }
            if (!good) {
                sleep(1);
            }
        }
        if (!good) {
            JNU_ThrowByName(env, kCANBusException, "Max Retry by send messages");
            return;
        }
    }
    env->CallVoidMethod(bus, MID_CANBus_notifyAboutBulkMessages);
}

extern "C" {

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_initNativeIds(JNIEnv *env, jclass cls)
{
    JNU_LookupBatch look(env);
    FID_CANBus_device = look(JNU_GetFieldID(env, cls, "device", "Ljava/lang/String;"));
    FID_CANBus_baud = look(JNU_GetFieldID(env, cls, "baud", "I"));
    FID_CANBus_blocking = look(JNU_GetFieldID(env, cls, "blocking", "Z"));
    FID_CANBus_readOnly = look(JNU_GetFieldID(env, cls, "readOnly", "Z"));
    FID_CANBus_sleeptime = look(JNU_GetFieldID(env, cls, "sleeptime", "J"));
    FID_CANBus_fd = look(JNU_GetFieldID(env, cls, "fd", "I"));
    FID_CANBus_messageWritten = look(JNU_GetFieldID(env, cls, "messageWritten", "Z"));
    FID_CANBus_messageToWrite =
        look(JNU_GetFieldID(env, cls, "messageToWrite", "Lde/zavrio/quilmar/io/can/CANMessage;"));
    FID_CANBus_writeResponse = look(JNU_GetFieldID(env, cls, "writeResponse", "I"));
    MID_CANBus_isMessageReadyToWrite = look(JNU_GetMethodID(env, cls, "isMessageReadyToWrite", "()Z"));
    MID_CANBus_notifyAboutMessageSend = look(JNU_GetMethodID(env, cls, "notifyAboutMessageSend", "()V"));
    MID_CANBus_fireCANBusEvent =
        look(JNU_GetMethodID(env, cls, "fireCANBusEvent", "(Lde/zavrio/quilmar/io/can/CANBusEvent;)V"));
    FID_CANBus_filterArray =
        look(JNU_GetFieldID(env, cls, "filterArray", "[Lde/zavrio/quilmar/io/can/CANMessageFilter;"));
    MID_CANBus_buildFilterArray = look(JNU_GetMethodID(env, cls, "buildFilterArray", "()V"));
    FID_CANBus_canMessagesSendArray =
        look(JNU_GetFieldID(env, cls, "canMessagesSendArray", "[Lde/zavrio/quilmar/io/can/CANMessage;"));
    FID_CANBus_canMessagesReceiveArray =
        look(JNU_GetFieldID(env, cls, "canMessagesReveiceArray", "[Lde/zavrio/quilmar/io/can/CANMessage;"));
    MID_CANBus_isMessagesReadyToWrite = look(JNU_GetMethodID(env, cls, "isMessagesReadyToWrite", "()Z"));
    MID_CANBus_notifyAboutBulkMessages = look(JNU_GetMethodID(env, cls, "notifyAboutBulkMessages", "()V"));
    FID_CANBus_filterMessageId = look(JNU_GetFieldID(env, cls, "filterMessageId", "I"));
    FID_CANBus_filteredMessage =
        look(JNU_GetFieldID(env, cls, "filteredMessage", "Lde/zavrio/quilmar/io/can/CANMessage;"));
    MID_CANBus_notifyAboutFilteredMessage =
        look(JNU_GetMethodID(env, cls, "notifyAboutFilteredMessage", "()V"));
    FID_CANBus_writeSleeptime = look(JNU_GetFieldID(env, cls, "writeSleeptime", "J"));
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANMessage_initNativeIds(JNIEnv *env, jclass cls)
{
    {
        JNU_LookupBatch look(env);
        MID_CANMessage_Constructor = look(JNU_GetMethodID(env, cls, "<init>", "()V"));
        FID_CANMessage_flags = look(JNU_GetFieldID(env, cls, "flags", "I"));
        FID_CANMessage_cob = look(JNU_GetFieldID(env, cls, "cob", "I"));
        FID_CANMessage_id = look(JNU_GetFieldID(env, cls, "id", "I"));
        FID_CANMessage_seconds = look(JNU_GetFieldID(env, cls, "seconds", "J"));
        FID_CANMessage_mikroseconds = look(JNU_GetFieldID(env, cls, "mikroseconds", "J"));
        FID_CANMessage_data = look(JNU_GetFieldID(env, cls, "data", "[B"));
    }
    if (env->ExceptionCheck()) {
        return;
    }
    jclass previous = CLASS_CANMessage;
    CLASS_CANMessage = static_cast<jclass>(env->NewGlobalRef(cls));
    if (previous != nullptr) {
        env->DeleteGlobalRef(previous);
    }
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANMessageFilter_initNativeIds(JNIEnv *env, jclass cls)
{
    JNU_LookupBatch look(env);
    FID_CANMessageFilter_id = look(JNU_GetFieldID(env, cls, "id", "I"));
    FID_CANMessageFilter_interval = look(JNU_GetFieldID(env, cls, "interval", "J"));
    FID_CANMessageFilter_mask = look(JNU_GetFieldID(env, cls, "mask", "[B"));
    FID_CANMessageFilter_delta = look(JNU_GetFieldID(env, cls, "delta", "[B"));
    FID_CANMessageFilter_trigger = look(JNU_GetFieldID(env, cls, "trigger", "[B"));
    FID_CANMessageFilter_triggerType = look(JNU_GetFieldID(env, cls, "triggerType", "I"));
}

JNIEXPORT jint JNICALL Java_de_zavrio_quilmar_io_can_CANBus_openCanDevice(JNIEnv *env, jobject bus)
{
    const bool log = CAN_logging();
    JNU_LocalRef device(env, env->GetObjectField(bus, FID_CANBus_device));
    if (device.get() == nullptr) {
        JNU_ThrowByName(env, kIOException, "cannot open can device");
        return -1;
    }
    const char *path = env->GetStringUTFChars(static_cast<jstring>(device.get()), nullptr);
    if (path == nullptr) {
        return -1;
    }
    const bool blocking = env->GetBooleanField(bus, FID_CANBus_blocking) == JNI_TRUE;
    const bool readOnly = env->GetBooleanField(bus, FID_CANBus_readOnly) == JNI_TRUE;
    int flags = (blocking ? 0 : O_NONBLOCK) | (readOnly ? O_RDONLY : O_RDWR);
    if (log) {
        printf(blocking ? "debug: open %s in blocking mode\n" : "debug: open %s in nonblocking mode\n", path);
        printf(readOnly ? "debug: open %s in read only mode\n" : "debug: open %s in read write mode\n", path);
    }
    int fd = open(path, flags);
    int error = errno;
    if (tracked(fd)) {
        closing[fd] = false;
    }
    env->ReleaseStringUTFChars(static_cast<jstring>(device.get()), path);
    if (fd < 0) {
        errno = error;
        perror("open CAN");
        JNU_ThrowByName(env, kIOException, "cannot open can device");
        return -1;
    }
    jint baud = env->GetIntField(bus, FID_CANBus_baud);
    if (log) {
        printf("debug: set bitrate to %d\n", baud);
    }
    set_bitrate(fd, baud);
    writeSleeptime = static_cast<int32_t>(env->GetLongField(bus, FID_CANBus_writeSleeptime));
    return fd;
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_closeCanDevice(JNIEnv *env, jobject bus)
{
    int fd = env->GetIntField(bus, FID_CANBus_fd);
    if (tracked(fd)) {
        closing[fd] = true;
        makeWakePipe();
        int wake = wakeWrite.load();
        if (wake >= 0 && write(wake, "w", 1) < 0) {
            // full: readers are awake already
        }
        // A reader leaves within one read; a blocked one at once.
        for (int i = 0; i < 2000 && readersInside[fd].load() > 0; ++i) {
            usleep(1000);
        }
        char drain[64];
        while (wakeRead.load() != INT32_MAX && read(wakeRead.load(), drain, sizeof drain) > 0) {
        }
    }
    int result = close(fd);
    int error = errno;
    if (tracked(fd) && result < 0) {
        closing[fd] = false; // nothing was closed: the reader may go on
    }
    if (result < 0) {
        throwErrno(env, kIOException, error);
    }
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_reset(JNIEnv *env, jobject bus)
{
    if (CAN_command(env->GetIntField(bus, FID_CANBus_fd), CMD_RESET) < 0) {
        throwErrno(env, kCANBusException, errno);
    }
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_resetCloseAndOpen(JNIEnv *env, jobject bus)
{
    int fd = env->GetIntField(bus, FID_CANBus_fd);
    int stopError = CAN_command(fd, CMD_STOP) < 0 ? errno : 0;
    int startError = CAN_command(fd, CMD_START) < 0 ? errno : 0;
    // One exception can be raised: the first failure's.
    if (stopError != 0) {
        throwErrno(env, kCANBusException, stopError);
    } else if (startError != 0) {
        throwErrno(env, kCANBusException, startError);
    }
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_readMessages(JNIEnv *env, jobject bus)
{
    const bool log = CAN_logging();
    if (log) {
        puts("debug: readMessages");
    }
    int32_t sleeptime = static_cast<int32_t>(env->GetLongField(bus, FID_CANBus_sleeptime));
    if (log) {
        printf("debug: readMessages - sleeptime: %d ms\n", sleeptime);
    }
    const timespec pause{sleeptime / 1000, static_cast<long>(sleeptime % 1000) * 1000000L};
    const bool blocking = env->GetBooleanField(bus, FID_CANBus_blocking) == JNI_TRUE;
    if (log) {
        puts("debug: readMessages - blocking");
    }
    int fd = env->GetIntField(bus, FID_CANBus_fd);

    CanFilterEntry table[CAN_MAX_FILTERS];
    int filters;
    {
        if (log) {
            puts("debug: readMessages - filter array");
        }
        JNU_LocalRef array(env, env->GetObjectField(bus, FID_CANBus_filterArray));
        if (array.get() == nullptr) {
            JNU_ThrowByName(env, kIllegalState, "filterArray is not initilized");
            return;
        }
        filters = env->GetArrayLength(static_cast<jobjectArray>(array.get()));
        if (log) {
            puts("debug: readMessages - filter array - getLength");
        }
        if (filters > CAN_MAX_FILTERS) {
            JNU_ThrowByName(env, kIllegalState, "filter array too long");
            return;
        }
        if (copyFilterArray(table, static_cast<jobjectArray>(array.get()), env) == -1) {
            JNU_ThrowByName(env, kIllegalState, "problem during copy filter");
            return;
        }
    }

    // One cycle: three reads, each followed by a transmit step (none, the
    // pending message, the bulk transfer) and the delivery of what was read.
    // An exception of a transmit step or of a callback ends the loop, so
    // that it reaches the caller.
    static void (*const transmit[])(JNIEnv *, jobject, int) = {nullptr, writePendingMessage, writePendingMessages};
    canmsg_t records[CAN_RX_RECORDS];
    int got = 0;
    while (fd >= 0) {
        for (auto step : transmit) {
            got = CAN_readRecords(env, bus, fd, blocking, records);
            if (got < 0) {
                return; // stopped, or the device is gone (exception pending)
            }
            if (step == nullptr) {
                timeoutFlag = 1;
            } else {
                step(env, bus, fd);
                if (env->ExceptionCheck()) {
                    return;
                }
            }
            if (got > 0) {
                HandleReceivedCANMessage(env, bus, table, filters, got, records);
                if (env->ExceptionCheck()) {
                    return;
                }
            }
        }

        fd = env->GetIntField(bus, FID_CANBus_fd);
        if (!blocking && got == 0 && fd >= 0) {
            nanosleep(&pause, nullptr);
        }
    }
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_writeMessage(JNIEnv *env, jobject bus,
                                                                         jobject message)
{
    if (message == nullptr) {
        JNU_ThrowByName(env, kIllegalArgument, "message is null");
        return;
    }
    int result = writeCANMessage(env, message, env->GetIntField(bus, FID_CANBus_fd));
    if (result == 0) {
        // Nothing queued within the driver's time-out; errno says nothing.
        JNU_ThrowByName(env, kIOException, "transmit timed out");
    } else if (result < 0) {
        throwErrno(env, kIOException, errno);
    }
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_setNativeLogging(JNIEnv *, jobject, jboolean on)
{
    nativeLog = on;
}

JNIEXPORT jboolean JNICALL
Java_de_zavrio_quilmar_io_can_CheckTimeoutTimerTask_checkAndResetTimeoutFlag(JNIEnv *, jobject)
{
    jboolean value = timeoutFlag.load() != 0 ? JNI_TRUE : JNI_FALSE;
    timeoutFlag = 0;
    return value;
}

} // extern "C"
