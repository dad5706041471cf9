#include "canids.h"

#include "canbus.h"
#include "jnu.h"
#include "jnu_scope.h"

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

} // extern "C"
