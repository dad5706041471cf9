// The identifier caches of the CAN library: one global per Java member it
// uses, filled by the classes' initNativeIds entries in the order of the
// members' table, read at every use.
#pragma once

#include <jni.h>

extern jfieldID FID_CANBus_device;
extern jfieldID FID_CANBus_baud;
extern jfieldID FID_CANBus_blocking;
extern jfieldID FID_CANBus_readOnly;
extern jfieldID FID_CANBus_sleeptime;
extern jfieldID FID_CANBus_fd;
extern jfieldID FID_CANBus_messageWritten;
extern jfieldID FID_CANBus_messageToWrite;
extern jfieldID FID_CANBus_writeResponse;
extern jmethodID MID_CANBus_isMessageReadyToWrite;
extern jmethodID MID_CANBus_notifyAboutMessageSend;
extern jmethodID MID_CANBus_fireCANBusEvent;
extern jfieldID FID_CANBus_filterArray;
extern jmethodID MID_CANBus_buildFilterArray;
extern jfieldID FID_CANBus_canMessagesSendArray;
extern jfieldID FID_CANBus_canMessagesReceiveArray;
extern jmethodID MID_CANBus_isMessagesReadyToWrite;
extern jmethodID MID_CANBus_notifyAboutBulkMessages;
extern jfieldID FID_CANBus_filterMessageId;
extern jfieldID FID_CANBus_filteredMessage;
extern jmethodID MID_CANBus_notifyAboutFilteredMessage;
extern jfieldID FID_CANBus_writeSleeptime;

extern jclass CLASS_CANMessage;
extern jmethodID MID_CANMessage_Constructor;
extern jfieldID FID_CANMessage_flags;
extern jfieldID FID_CANMessage_cob;
extern jfieldID FID_CANMessage_id;
extern jfieldID FID_CANMessage_seconds;
extern jfieldID FID_CANMessage_mikroseconds;
extern jfieldID FID_CANMessage_data;

extern jfieldID FID_CANMessageFilter_id;
extern jfieldID FID_CANMessageFilter_interval;
extern jfieldID FID_CANMessageFilter_mask;
extern jfieldID FID_CANMessageFilter_delta;
extern jfieldID FID_CANMessageFilter_trigger;
extern jfieldID FID_CANMessageFilter_triggerType;
