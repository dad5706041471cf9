// vboard-rtc: the board's real-time clock "/dev/rtc" with its wake alarm.
//
// The alarm is kept as the driver keeps it in the chip: RTC_WKALM_SET
// checks the time as the kernel does (rtc_valid_tm) and stores the record,
// RTC_WKALM_RD reports it back, RTC_RD_TIME reads this machine's UTC time.
// Every other request fails with ENOTTY, as in the kernel's RTC driver.
// Two behaviours of real drivers are switched on by control words: one
// opener at a time (a second open fails with EBUSY, as the kernel's RTC
// character device does), and a chip that keeps only the alarm's time of
// day (RTC_WKALM_RD reports the date fields as -1, and the driver still
// checks a record it is given as a whole).
//
// Control words ("vboard ctl rtc ..."):
//   show             the alarm record and the request counts
//   pending 0|1      the alarm fired (pending byte of the next RTC_WKALM_RD)
//   fail ERRNO|off   make every request fail with ERRNO (a number) from now on
//   exclusive on|off one opener at a time (EBUSY for a second open)
//   keep time|all    the chip keeps the alarm's time of day only, or all of it
//   busy MS          another program holds the device for MS milliseconds
//   reset            forget the alarm and the counts, switches off
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>

#include "rtc_wkalrm.h"
#include "vboard/control.h"
#include "vboard/device.h"
#include "vboard/emulator.h"

namespace
{

struct Clock {
    rtc_wkalrm alarm{};
    unsigned sets = 0, reads = 0, opens = 0, busyRefusals = 0;
    int fail = 0;
    bool exclusive = false, timeOnly = false;
    int openNow = 0;
    std::chrono::steady_clock::time_point busyUntil{};

    Clock() { reset(); }
    void reset()
    {
        alarm = rtc_wkalrm{};
        alarm.time.tm_mday = 1;
        alarm.time.tm_year = 70;
        alarm.time.tm_wday = 4; // 1 January 1970 was a Thursday
        sets = reads = busyRefusals = 0;
        fail = 0;
        exclusive = timeOnly = false;
        busyUntil = {};
    }
    bool busy() const
    {
        return (exclusive && openNow > 0) || std::chrono::steady_clock::now() < busyUntil;
    }
};

bool leap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// The kernel's rtc_valid_tm: what RTC_WKALM_SET refuses with EINVAL.
bool valid(const rtc_time &t)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.tm_year < 70 || t.tm_mon < 0 || t.tm_mon >= 12 || t.tm_mday < 1)
        return false;
    int in_month = days[t.tm_mon] + (t.tm_mon == 1 && leap(t.tm_year + 1900) ? 1 : 0);
    return t.tm_mday <= in_month && t.tm_hour >= 0 && t.tm_hour < 24 && t.tm_min >= 0 && t.tm_min < 60 &&
           t.tm_sec >= 0 && t.tm_sec < 60;
}

class RtcSession : public vboard::Session
{
  public:
    explicit RtcSession(Clock &clock) : clock_(clock) {}
    int open(int) override
    {
        if (clock_.busy()) {
            ++clock_.busyRefusals;
            return EBUSY;
        }
        ++clock_.opens;
        ++clock_.openNow;
        counted_ = true;
        return 0;
    }
    void closed() override
    {
        if (counted_)
            --clock_.openNow;
        counted_ = false;
    }
    // A read waits for an interrupt; this clock raises none.
    vboard::Result read(std::vector<uint8_t> &, size_t count, bool) override
    {
        if (count < sizeof(uint32_t))
            return vboard::Result::error(EINVAL);
        return vboard::Result::error(EAGAIN);
    }
    vboard::Result ioctl(vboard::IoctlCall &call, bool) override
    {
        if (clock_.fail != 0)
            return vboard::Result::error(clock_.fail);
        switch (call.request) {
        case RTC_WKALM_SET: {
            rtc_wkalrm a;
            if (!call.get(a))
                return vboard::Result::error(EFAULT);
            if (!valid(a.time))
                return vboard::Result::error(EINVAL);
            clock_.alarm = a;
            clock_.alarm.enabled = a.enabled != 0 ? 1 : 0;
            clock_.alarm.pending = 0;
            ++clock_.sets;
            return vboard::Result::ok();
        }
        case RTC_WKALM_RD: {
            rtc_wkalrm a = clock_.alarm;
            if (clock_.timeOnly) {
                a.time.tm_mday = a.time.tm_mon = a.time.tm_year = -1;
                a.time.tm_wday = a.time.tm_yday = a.time.tm_isdst = -1;
            }
            call.put(a);
            ++clock_.reads;
            return vboard::Result::ok();
        }
        case RTC_RD_TIME: {
            time_t now = time(nullptr);
            tm t;
            gmtime_r(&now, &t);
            rtc_time r{t.tm_sec,  t.tm_min,  t.tm_hour, t.tm_mday, t.tm_mon,
                       t.tm_year, t.tm_wday, t.tm_yday, 0};
            call.put(r);
            return vboard::Result::ok();
        }
        default:
            return vboard::Result::error(ENOTTY);
        }
    }

  private:
    Clock &clock_;
    bool counted_ = false;
};

std::string show(const Clock &c)
{
    const rtc_wkalrm &a = c.alarm;
    char buf[256];
    snprintf(buf, sizeof buf,
             "alarm enabled=%d pending=%d sec=%d min=%d hour=%d mday=%d mon=%d year=%d wday=%d yday=%d "
             "isdst=%d\nrequests set=%u read=%u opens=%u%s\n",
             a.enabled, a.pending, a.time.tm_sec, a.time.tm_min, a.time.tm_hour, a.time.tm_mday,
             a.time.tm_mon, a.time.tm_year, a.time.tm_wday, a.time.tm_yday, a.time.tm_isdst, c.sets, c.reads,
             c.opens, c.busyRefusals > 0 ? (" busy=" + std::to_string(c.busyRefusals)).c_str() : "");
    return buf;
}

bool to_int(const std::string &s, int &v)
{
    try {
        size_t used;
        v = std::stoi(s, &used);
        return used == s.size();
    } catch (const std::exception &) {
        return false;
    }
}

vboard::ControlReply command(Clock &c, const std::vector<std::string> &w)
{
    if (w.size() == 1 && w[0] == "show")
        return {0, show(c)};
    if (w.size() == 1 && w[0] == "reset") {
        c.reset();
        c.opens = 0;
        return {0, ""};
    }
    int v;
    if (w.size() == 2 && w[0] == "pending" && to_int(w[1], v) && (v == 0 || v == 1)) {
        c.alarm.pending = static_cast<unsigned char>(v);
        return {0, ""};
    }
    if (w.size() == 2 && w[0] == "fail") {
        if (w[1] == "off") {
            c.fail = 0;
            return {0, ""};
        }
        if (to_int(w[1], v) && v > 0) {
            c.fail = v;
            return {0, ""};
        }
    }
    if (w.size() == 2 && w[0] == "exclusive" && (w[1] == "on" || w[1] == "off")) {
        c.exclusive = w[1] == "on";
        return {0, ""};
    }
    if (w.size() == 2 && w[0] == "keep" && (w[1] == "time" || w[1] == "all")) {
        c.timeOnly = w[1] == "time";
        return {0, ""};
    }
    if (w.size() == 2 && w[0] == "busy" && to_int(w[1], v) && v >= 0) {
        c.busyUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(v);
        return {0, ""};
    }
    return {2, "usage: show | pending 0|1 | fail ERRNO|off | exclusive on|off | keep time|all | busy MS | reset\n"};
}

} // namespace

int main()
{
    return vboard::emulator_main("vboard-rtc", [](vboard::Loop &loop, const std::string &root) {
        Clock clock;
        vboard::DeviceServer rtc(loop, root, "rtc", [&clock](vboard::Connection &) {
            return std::make_unique<RtcSession>(clock);
        });
        vboard::ControlServer ctl(loop, root, "rtc",
                                  [&clock](const std::vector<std::string> &w) { return command(clock, w); });
        vboard::serve(loop);
    });
}
