// The RTC character device's wake-alarm interface ("/dev/rtc"): the
// kernel's struct rtc_wkalrm and the two requests that write and read it.
// The layout is the kernel's ABI; the asserts hold it to the 40-octet
// record the driver copies, on the host and on the target alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/rtc.h>

static_assert(sizeof(struct rtc_wkalrm) == 40, "wake-alarm record is 40 octets");
static_assert(offsetof(struct rtc_wkalrm, enabled) == 0);
static_assert(offsetof(struct rtc_wkalrm, pending) == 1);
static_assert(offsetof(struct rtc_wkalrm, time) == 4);
static_assert(offsetof(struct rtc_wkalrm, time.tm_sec) == 4);
static_assert(offsetof(struct rtc_wkalrm, time.tm_min) == 8);
static_assert(offsetof(struct rtc_wkalrm, time.tm_hour) == 12);
static_assert(offsetof(struct rtc_wkalrm, time.tm_mday) == 16);
static_assert(offsetof(struct rtc_wkalrm, time.tm_mon) == 20);
static_assert(offsetof(struct rtc_wkalrm, time.tm_year) == 24);
static_assert(offsetof(struct rtc_wkalrm, time.tm_wday) == 28);
static_assert(offsetof(struct rtc_wkalrm, time.tm_yday) == 32);
static_assert(offsetof(struct rtc_wkalrm, time.tm_isdst) == 36);
static_assert(sizeof(struct rtc_time) == 36);

static_assert(RTC_WKALM_SET == 0x4028700F, "RTC_WKALM_SET: _IOW('p', 0x0f, struct rtc_wkalrm)");
static_assert(RTC_WKALM_RD == 0x80287010, "RTC_WKALM_RD: _IOR('p', 0x10, struct rtc_wkalrm)");
