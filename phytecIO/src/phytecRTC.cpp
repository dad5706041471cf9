// The real-time clock's wake alarm on "/dev/rtc": set before power-down,
// cleared after wake-up. Neither entry reports failures.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <jni.h>

#include "rtc_wkalrm.h"

namespace
{

constexpr const char *kRTCDevice = "/dev/rtc";

} // namespace

extern "C" {

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_PhytecPMModeControlImpl_setRTCTime(JNIEnv *, jobject,
                                                                                           jint hour, jint minute,
                                                                                           jint day, jint month,
                                                                                           jint year)
{
    printf("Set RTC to: %i.%i.%i  %i:%i\n", day, month, year, hour, minute);
    fflush(stdout);
    rtc_wkalrm alarm;
    memset(&alarm, 0, sizeof alarm);
    alarm.enabled = 1;
    alarm.time.tm_min = minute;
    alarm.time.tm_hour = hour;
    alarm.time.tm_mday = day;
    alarm.time.tm_mon = month;
    alarm.time.tm_year = year;
    alarm.time.tm_wday = -1;
    const int fd = open(kRTCDevice, O_RDWR);
    ioctl(fd, RTC_WKALM_SET, &alarm);
    close(fd);
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_PhytecPMModeControlImpl_resetRTCAlarm(JNIEnv *, jobject)
{
    puts("Reset RTC Alarm");
    fflush(stdout);
    rtc_wkalrm alarm;
    memset(&alarm, 0, sizeof alarm);
    const int fd = open(kRTCDevice, O_RDWR);
    ioctl(fd, RTC_WKALM_RD, &alarm);
    alarm.enabled = 0;
    ioctl(fd, RTC_WKALM_SET, &alarm);
    close(fd);
}

} // extern "C"
