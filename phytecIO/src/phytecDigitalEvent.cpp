// Digital input events: the event class's identifiers and the reader loop
// over the sixteen input devices "/dev/gpio/in0" .. "/dev/gpio/inF".
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include "jnu.h"
#include "phytecIO.h"

jmethodID MID_addEvent = nullptr;
jfieldID FID_address = nullptr;
jfieldID FID_booleanValue = nullptr;
jfieldID FID_sequenceNumber = nullptr;
jfieldID FID_type = nullptr;
jfieldID FID_raise = nullptr;
jmethodID MID_quilmarIOEvent_constructor = nullptr;
jmethodID MID_setEventTime = nullptr;
jmethodID MID_setNotifyTime = nullptr;
jclass CLASS_quilmarIOEvent = nullptr;

namespace
{

constexpr const char *kInputPrefix = "/dev/gpio/in";

// readEvents has no stop request of its own: stopReadEvents wakes it through
// this pipe, which the loop watches beside the sixteen inputs. Only a loop
// that is running is woken, so a stop never ends a later run.
struct Stopper {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    int pipe[2] = {-1, -1};
    int readers = 0;
};

Stopper stopper;

// Octets of records the inputs had begun to hand out (or whole records not
// yet handed over) when a run of the loop ended: the rest stays with the
// driver and arrives in the next run. A run takes them over when it starts
// and leaves its own when it ends, under the stopper's lock.
PendingRecord leftOver[kDigitalInputs];

// pipe() and fcntl rather than pipe2, which the unit's kernel lacks.
bool openStopPipe()
{
    if (pipe(stopper.pipe) != 0) {
        return false;
    }
    for (int fd : stopper.pipe) {
        if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
            close(stopper.pipe[0]);
            close(stopper.pipe[1]);
            return false;
        }
    }
    return true;
}

bool stopperEnter(int *wake, PendingRecord *pending)
{
    pthread_mutex_lock(&stopper.lock);
    for (int n = 0; n < kDigitalInputs; ++n) {
        pending[n] = leftOver[n];
        leftOver[n].have = 0;
    }
    if (stopper.pipe[0] < 0 && !openStopPipe()) {
        stopper.pipe[0] = stopper.pipe[1] = -1;
    }
    if (stopper.readers == 0 && stopper.pipe[0] >= 0) {
        char drain[16];
        while (read(stopper.pipe[0], drain, sizeof drain) > 0) {
        }
    }
    ++stopper.readers;
    *wake = stopper.pipe[0];
    pthread_mutex_unlock(&stopper.lock);
    return *wake >= 0;
}

void stopperLeave(const PendingRecord *pending)
{
    pthread_mutex_lock(&stopper.lock);
    for (int n = 0; n < kDigitalInputs; ++n) {
        if (leftOver[n].have == 0) {
            leftOver[n] = pending[n];
        }
    }
    --stopper.readers;
    pthread_mutex_unlock(&stopper.lock);
}

void closeInputs(pollfd *fds, int count)
{
    for (int i = 0; i < count; ++i) {
        if (fds[i].fd >= 0) {
            close(fds[i].fd);
            fds[i].fd = -1;
        }
    }
}

void inputPath(char *out, size_t size, int input)
{
    snprintf(out, size, "%s%X", kInputPrefix, static_cast<unsigned>(input));
}

} // namespace

RecordRead phytecDigitalEvent_readRecord(int fd, PendingRecord *pending, GpioEventRecord *record)
{
    while (pending->have < sizeof pending->octets) {
        const ssize_t got = read(fd, pending->octets + pending->have, sizeof pending->octets - pending->have);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return RecordRead::Partial;
        }
        if (got <= 0) {
            pending->have = 0;
            return RecordRead::Gone;
        }
        pending->have += static_cast<size_t>(got);
        if (pending->have < sizeof pending->octets) {
            return RecordRead::Partial;
        }
    }
    memcpy(record, pending->octets, sizeof *record);
    pending->have = 0;
    return RecordRead::Whole;
}

namespace
{

bool debugging()
{
    return nativeDebug_phytecDigitalEvent == 1;
}

} // namespace

int formatEvent(const GpioEventRecord &r, char *out, size_t size)
{
    return snprintf(out, size, "[ev=%li.%09li, rep=%li.%09li, %u, %u, %u]\n", static_cast<long>(r.event_sec),
                    static_cast<long>(r.event_nsec), static_cast<long>(r.report_sec),
                    static_cast<long>(r.report_nsec), r.sequence, r.address, r.value);
}

int printEvent(const GpioEventRecord &record)
{
    char text[128];
    formatEvent(record, text, sizeof text);
    return fputs(text, stdout);
}

void phytecDigitalEvent_init(JNIEnv *env, jclass clazz)
{
    MID_addEvent = JNU_GetMethodID(env, clazz, "addEvent", "(Lde/zavrio/quilmar/io/QuilmarIOEvent;)V");
}

// False when the event never reached addEvent (the constructor or a setter
// failed): the caller keeps the record for the next run.
static bool IO_fireEvent(JNIEnv *env, jobject receiver, const GpioEventRecord &record)
{
    jobject event = env->NewObject(CLASS_quilmarIOEvent, MID_quilmarIOEvent_constructor);
    if (event == nullptr) {
        return false;
    }
    const jboolean high = record.value != 0 ? JNI_TRUE : JNI_FALSE;
    env->SetIntField(event, FID_type, 0);
    env->SetIntField(event, FID_address, static_cast<jint>(record.address));
    env->SetIntField(event, FID_sequenceNumber, static_cast<jint>(record.sequence));
    env->SetBooleanField(event, FID_booleanValue, high);
    env->SetBooleanField(event, FID_raise, high);
    // Each call may throw; no further JNI call runs with an exception pending.
    env->CallVoidMethod(event, MID_setEventTime, static_cast<jint>(record.event_sec),
                        static_cast<jint>(record.event_nsec));
    if (!env->ExceptionCheck()) {
        env->CallVoidMethod(event, MID_setNotifyTime, static_cast<jint>(record.report_sec),
                            static_cast<jint>(record.report_nsec));
    }
    const bool reached = !env->ExceptionCheck();
    if (reached) {
        env->CallVoidMethod(receiver, MID_addEvent, event);
    }
    env->DeleteLocalRef(event);
    return reached;
}

// Delivers a whole record of input n. False when the loop must end: Java
// raised an exception. A record whose event never reached the application
// goes back to the input's pending octets, so that the next run delivers it.
static bool deliver(JNIEnv *env, jobject receiver, PendingRecord *pending, const GpioEventRecord &record)
{
    if (debugging()) {
        printEvent(record);
    }
    if (!IO_fireEvent(env, receiver, record)) {
        memcpy(pending->octets, &record, sizeof record);
        pending->have = sizeof record;
    }
    return !env->ExceptionCheck();
}

extern "C" {

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOEventImpl_nativeInit(JNIEnv *env, jclass clazz)
{
    FID_address = JNU_GetFieldID(env, clazz, "address", "I");
    FID_booleanValue = JNU_GetFieldID(env, clazz, "booleanValue", "Z");
    FID_sequenceNumber = JNU_GetFieldID(env, clazz, "sequenceNumber", "I");
    FID_type = JNU_GetFieldID(env, clazz, "type", "I");
    FID_raise = JNU_GetFieldID(env, clazz, "raise", "Z");
    MID_quilmarIOEvent_constructor = JNU_GetMethodID(env, clazz, "<init>", "()V");
    MID_setEventTime = JNU_GetMethodID(env, clazz, "setEventTime", "(II)V");
    MID_setNotifyTime = JNU_GetMethodID(env, clazz, "setNotifyTime", "(II)V");
    if (env->ExceptionCheck()) {
        return;
    }
    CLASS_quilmarIOEvent = static_cast<jclass>(env->NewGlobalRef(clazz));
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_readEvents(JNIEnv *env,
                                                                                        jobject receiver)
{
    pollfd fds[kDigitalInputs + 1];
    char path[32];
    for (int n = 0; n <= kDigitalInputs; ++n) {
        fds[n] = pollfd{-1, POLLIN, 0};
    }
    for (int n = 0; n < kDigitalInputs; ++n) {
        inputPath(path, sizeof path, n);
        fds[n].fd = phytecIO_open(path, O_RDONLY);
        if (fds[n].fd < 0) {
            closeInputs(fds, n);
            JNU_ThrowByName(env, kFileNotFoundException, path);
            return;
        }
    }
    int wake = -1;
    PendingRecord pending[kDigitalInputs];
    if (!stopperEnter(&wake, pending)) {
        stopperLeave(pending);
        closeInputs(fds, kDigitalInputs);
        JNU_ThrowByName(env, kIOException, "cannot create stop pipe");
        return;
    }
    fds[kDigitalInputs].fd = wake;

    // Records an earlier run could not hand over come first.
    bool ended = false;
    for (int n = 0; n < kDigitalInputs && !ended; ++n) {
        if (pending[n].have == sizeof(GpioEventRecord)) {
            GpioEventRecord record;
            memcpy(&record, pending[n].octets, sizeof record);
            pending[n].have = 0;
            ended = !deliver(env, receiver, &pending[n], record);
        }
    }

    while (!ended) {
        const int ready = poll(fds, kDigitalInputs + 1, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            if (debugging()) {
                if (error == EAGAIN) {
                    puts("EAGAIN");
                } else {
                    printf("errno: %d\n", error);
                }
            }
            perror("poll()");
            JNU_ThrowByName(env, kIOException, "poll error");
            break;
        }
        if (fds[kDigitalInputs].revents != 0) {
            // Shutdown: the application asked the loop to end.
            break;
        }
        bool gone = false;
        for (int n = 0; n < kDigitalInputs && !gone; ++n) {
            const short revents = fds[n].revents;
            if (revents == 0) {
                continue;
            }
            GpioEventRecord record;
            const RecordRead result = (revents & POLLIN) != 0
                                          ? phytecDigitalEvent_readRecord(fds[n].fd, &pending[n], &record)
                                          : RecordRead::Gone;
            switch (result) {
            case RecordRead::Whole:
                // An exception from the application ends the loop and reaches the caller.
                gone = !deliver(env, receiver, &pending[n], record);
                break;
            case RecordRead::Partial:
                if (debugging()) {
                    printf("record in pieces: %zu of %zu bytes\n", pending[n].have, sizeof record);
                }
                break;
            case RecordRead::Gone:
                pending[n].have = 0;
                inputPath(path, sizeof path, n);
                if (debugging()) {
                    printf("input gone: %s\n", path);
                }
                {
                    char message[64];
                    snprintf(message, sizeof message, "input device gone: %s", path);
                    JNU_ThrowByName(env, kIOException, message);
                }
                gone = true;
                break;
            }
        }
        if (gone) {
            break;
        }
    }
    fds[kDigitalInputs].fd = -1;
    stopperLeave(pending);
    closeInputs(fds, kDigitalInputs);
}

// Ends a running readEvents from another thread (application shutdown):
// the loop closes its inputs and returns without an exception.
JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_QuilmarIOPhytecImpl_stopReadEvents(JNIEnv *, jobject)
{
    pthread_mutex_lock(&stopper.lock);
    if (stopper.readers > 0 && stopper.pipe[1] >= 0) {
        const char byte = 0;
        const ssize_t ignored = write(stopper.pipe[1], &byte, 1);
        (void)ignored;
    }
    pthread_mutex_unlock(&stopper.lock);
}

} // extern "C"
