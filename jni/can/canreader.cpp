// The reader side of the binding: the loop, its reads and the close
// handshake that wakes it, the filter table it loads and the delivery of
// what it decides to report.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "canbus.h"
#include "canids.h"
#include "canraise.h"
#include "jnu_scope.h"

namespace
{

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
    if (pipe(p) == 0) {
        // (pipe2 is newer than the unit's kernel)
        for (int end : p) {
            fcntl(end, F_SETFD, FD_CLOEXEC);
            fcntl(end, F_SETFL, O_NONBLOCK);
        }
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

// Errors after which the descriptor will never deliver again.
bool deviceGone(int error)
{
    return error == EBADF || error == ENODEV || error == ENXIO || error == EIO || error == EPIPE ||
           error == ECONNRESET || error == ENOTCONN;
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
    CAN_copyBytes(env, static_cast<jbyteArray>(array.get()), out);
    return 1;
}

} // namespace

void CAN_readerOpened(int fd)
{
    if (tracked(fd)) {
        closing[fd] = false;
    }
}

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
    CAN_raise(env, CanRaise::DeviceError, error);
    return kReadFailed;
}

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

extern "C" {

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
        CAN_raise(env, CanRaise::DeviceError, error);
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
            CAN_raise(env, CanRaise::NoFilterArray);
            return;
        }
        filters = env->GetArrayLength(static_cast<jobjectArray>(array.get()));
        if (log) {
            puts("debug: readMessages - filter array - getLength");
        }
        if (filters > CAN_MAX_FILTERS) {
            CAN_raise(env, CanRaise::TooManyFilters);
            return;
        }
        if (copyFilterArray(table, static_cast<jobjectArray>(array.get()), env) == -1) {
            CAN_raise(env, CanRaise::FilterCopy);
            return;
        }
    }

    // One cycle: three reads, each followed by a transmit step (none, the
    // pending message, the bulk transfer) and the delivery of what was read.
    // An exception of a transmit step or of a callback ends the loop, so
    // that it reaches the caller.
    static void (*const transmit[])(JNIEnv *, jobject, int) = {nullptr, writePendingMessage,
                                                               writePendingMessages};
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

} // extern "C"
