// rtcprobe: a small program (not part of the product) that drives the wake
// alarm of "/dev/rtc" the way the board IO library does, for the tests of
// the RTC emulation and of the preload's device forwarding.
//
//   rtcprobe set HOUR MINUTE DAY MONTH YEAR   arm the alarm (day of week -1)
//   rtcprobe read                             print the alarm record
//   rtcprobe reset                            read, clear enabled, write back
//   rtcprobe ioctl REQUEST                    an unknown request (hex), by value
//   rtcprobe threads N ROUNDS                 N threads that set and read back
//
// Each step prints one line: the result, or "<step>: <errno name>".
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "rtc_wkalrm.h"

namespace {

int fail(const char *step) {
  printf("%s: %s\n", step, strerrorname_np(errno));
  return 1;
}

void print(const rtc_wkalrm &a) {
  printf("enabled=%d pending=%d sec=%d min=%d hour=%d mday=%d mon=%d year=%d wday=%d yday=%d isdst=%d\n",
         a.enabled, a.pending, a.time.tm_sec, a.time.tm_min, a.time.tm_hour, a.time.tm_mday, a.time.tm_mon,
         a.time.tm_year, a.time.tm_wday, a.time.tm_yday, a.time.tm_isdst);
}

rtc_wkalrm record(int hour, int minute, int day, int month, int year) {
  rtc_wkalrm a;
  memset(&a, 0, sizeof a);
  a.enabled = 1;
  a.time.tm_min = minute;
  a.time.tm_hour = hour;
  a.time.tm_mday = day;
  a.time.tm_mon = month;
  a.time.tm_year = year;
  a.time.tm_wday = -1;
  return a;
}

// One thread: its own descriptor, set a distinct alarm, read it back.
bool worker(int id, int rounds) {
  for (int i = 0; i < rounds; ++i) {
    int fd = open("/dev/rtc", O_RDWR);
    if (fd < 0) return false;
    rtc_wkalrm a = record(id % 24, i % 60, 1 + id % 28, id % 12, 100 + id);
    rtc_wkalrm b;
    bool ok = ioctl(fd, RTC_WKALM_SET, &a) == 0 && ioctl(fd, RTC_WKALM_RD, &b) == 0;
    close(fd);
    // Other threads may have set theirs in between: the answer must be
    // some thread's whole record, never a mix.
    int other = b.time.tm_year - 100;
    if (!ok || other < 0 || b.time.tm_hour != other % 24 || b.time.tm_mday != 1 + other % 28 ||
        b.time.tm_mon != other % 12 || b.enabled != 1) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.empty()) {
    fprintf(stderr, "usage: rtcprobe set|read|reset|ioctl|threads ...\n");
    return 2;
  }
  if (a[0] == "threads" && a.size() == 3) {
    int n = atoi(a[1].c_str()), rounds = atoi(a[2].c_str());
    std::vector<std::thread> threads;
    std::vector<char> ok(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i) threads.emplace_back([&ok, i, rounds] { ok[static_cast<size_t>(i)] = worker(i, rounds); });
    int good = 0;
    for (int i = 0; i < n; ++i) {
      threads[static_cast<size_t>(i)].join();
      good += ok[static_cast<size_t>(i)];
    }
    printf("threads: %d of %d ok\n", good, n);
    return good == n ? 0 : 1;
  }
  int fd = open("/dev/rtc", O_RDWR);
  if (fd < 0) return fail("open");
  int status = 0;
  if (a[0] == "set" && a.size() == 6) {
    rtc_wkalrm r = record(atoi(a[1].c_str()), atoi(a[2].c_str()), atoi(a[3].c_str()), atoi(a[4].c_str()),
                          atoi(a[5].c_str()));
    if (ioctl(fd, RTC_WKALM_SET, &r) != 0) {
      status = fail("set");
    } else {
      printf("set: ok\n");
    }
  } else if (a[0] == "read" && a.size() == 1) {
    rtc_wkalrm r;
    memset(&r, 0xA5, sizeof r);
    if (ioctl(fd, RTC_WKALM_RD, &r) != 0) {
      status = fail("read");
    } else {
      print(r);
    }
  } else if (a[0] == "reset" && a.size() == 1) {
    rtc_wkalrm r;
    if (ioctl(fd, RTC_WKALM_RD, &r) != 0) {
      status = fail("read");
    } else {
      r.enabled = 0;
      if (ioctl(fd, RTC_WKALM_SET, &r) != 0) {
        status = fail("set");
      } else {
        printf("reset: ok\n");
      }
    }
  } else if (a[0] == "ioctl" && a.size() == 2) {
    unsigned long req = strtoul(a[1].c_str(), nullptr, 16);
    if (ioctl(fd, req, 0) != 0) {
      status = fail("ioctl");
    } else {
      printf("ioctl: ok\n");
    }
  } else {
    fprintf(stderr, "rtcprobe: bad arguments\n");
    status = 2;
  }
  if (close(fd) != 0) status = fail("close");
  return status;
}
