// The real-time clock's wake alarm on "/dev/rtc": set before power-down,
// cleared after wake-up. Setting reports nothing; clearing raises when the
// alarm may still be armed, since the unit would then wake unasked.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "jnu.h"
#include "phytecIO.h"
#include "rtc_wkalrm.h"

namespace
{

constexpr const char *kRTCDevice = "/dev/rtc";
constexpr const char *kIllegalStateException = "java.lang.IllegalStateException";

// The RTC driver admits one opener at a time (EBUSY for the others); a
// clock tool holds it for a moment only, so a busy device is tried again for
// about a second.
constexpr int kBusyTries = 20;
constexpr useconds_t kBusyPauseUs = 50000;

int openRTC()
{
    for (int attempt = 1;; ++attempt) {
        const int fd = phytecIO_open(kRTCDevice, O_RDWR);
        if (fd >= 0 || errno != EBUSY || attempt == kBusyTries) {
            return fd;
        }
        usleep(kBusyPauseUs);
    }
}

const char *errnoName(int error)
{
    static const struct {
        int number;
        const char *name;
    } names[] = {{EBUSY, "EBUSY"}, {EINVAL, "EINVAL"}, {EACCES, "EACCES"}, {EPERM, "EPERM"},
                 {EIO, "EIO"},     {ENOTTY, "ENOTTY"}, {EFAULT, "EFAULT"}, {EINTR, "EINTR"}};
    for (const auto &n : names) {
        if (n.number == error) {
            return n.name;
        }
    }
    return "unkown";
}

// No clock device at all: there is no alarm that could be armed.
bool noDevice(int error)
{
    return error == ENOENT || error == ENODEV || error == ENXIO;
}

void stillArmed(JNIEnv *env, const char *call, int error)
{
    char message[64];
    snprintf(message, sizeof message, "alarm still armed: %s:%s", call, errnoName(error));
    JNU_ThrowByName(env, kIllegalStateException, message);
}

} // namespace

// A driver that keeps only part of the alarm time reports the other fields
// as -1 but checks a time it is given as a whole (rtc_valid_tm), so it would
// refuse its own record back. Those fields get the first valid value; the
// driver drops them anyway. Day of week, day of year and daylight saving are
// not checked and stay as read.
void phytecRTC_fillUnkept(rtc_time *time)
{
    // The field and the first value the driver's check accepts there.
    static const struct {
        int rtc_time::*field;
        int first;
    } checked[] = {{&rtc_time::tm_sec, 0},  {&rtc_time::tm_min, 0}, {&rtc_time::tm_hour, 0},
                   {&rtc_time::tm_mday, 1}, {&rtc_time::tm_mon, 0}, {&rtc_time::tm_year, 70}};
    for (const auto &c : checked) {
        if (time->*c.field < c.first) {
            time->*c.field = c.first;
        }
    }
}

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
    const int fd = openRTC();
    if (fd >= 0) {
        ioctl(fd, RTC_WKALM_SET, &alarm);
        close(fd);
    }
}

JNIEXPORT void JNICALL Java_de_zavrio_quilmar_io_phytec_PhytecPMModeControlImpl_resetRTCAlarm(JNIEnv *env, jobject)
{
    puts("Reset RTC Alarm");
    fflush(stdout);
    const int fd = openRTC();
    if (fd < 0) {
        if (!noDevice(errno)) {
            stillArmed(env, "open", errno);
        }
        return;
    }
    rtc_wkalrm alarm;
    memset(&alarm, 0, sizeof alarm);
    // A clock that cannot report its alarm is still disarmed, with a time
    // of its own then.
    ioctl(fd, RTC_WKALM_RD, &alarm);
    alarm.enabled = 0;
    phytecRTC_fillUnkept(&alarm.time);
    const int result = ioctl(fd, RTC_WKALM_SET, &alarm);
    const int error = errno;
    close(fd);
    if (result != 0) {
        stillArmed(env, "RTC_WKALM_SET", error);
    }
}

} // extern "C"
