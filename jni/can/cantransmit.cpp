// The transmit side of the binding: one record from a Java CANMessage, the
// direct write, the pending message and the confirmed bulk transfer.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "canbus.h"
#include "canids.h"
#include "canraise.h"
#include "jnu_scope.h"

namespace
{

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

// Copies at most 8 bytes of a Java byte array (shorter arrays leave the rest
// of `out` as it is). Returns the number copied.
int CAN_copyBytes(JNIEnv *env, jbyteArray array, uint8_t *out)
{
    jsize length = env->GetArrayLength(array);
    int n = length > 8 ? 8 : static_cast<int>(length);
    env->GetByteArrayRegion(array, 0, n, reinterpret_cast<jbyte *>(out));
    return n;
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
            static_cast<int16_t>(CAN_copyBytes(env, static_cast<jbyteArray>(data.get()), record.data));
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
        CAN_raise(env, CanRaise::BulkSizes);
        return;
    }
    // Refuse the whole transfer before anything is sent.
    for (jsize i = 0; i < n; ++i) {
        JNU_LocalRef s(env, env->GetObjectArrayElement(sendArray, i));
        JNU_LocalRef e(env, env->GetObjectArrayElement(expectedArray, i));
        if (s.get() == nullptr || e.get() == nullptr) {
            CAN_raise(env, CanRaise::BulkNullElement);
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
                expectedLength = CAN_copyBytes(env, static_cast<jbyteArray>(data.get()), expectedData);
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
            CAN_raise(env, CanRaise::BulkMaxRetry);
            return;
        }
    }
    env->CallVoidMethod(bus, MID_CANBus_notifyAboutBulkMessages);
}

extern "C" {

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_can_CANBus_writeMessage(JNIEnv *env, jobject bus,
                                                                         jobject message)
{
    if (message == nullptr) {
        CAN_raise(env, CanRaise::MessageNull);
        return;
    }
    int result = writeCANMessage(env, message, env->GetIntField(bus, FID_CANBus_fd));
    if (result == 0) {
        // Nothing queued within the driver's time-out; errno says nothing.
        CAN_raise(env, CanRaise::TransmitTimedOut);
    } else if (result < 0) {
        CAN_raise(env, CanRaise::DeviceError, errno);
    }
}

} // extern "C"
