// The event loop of an emulator process: single-threaded poll over the
// descriptors of its devices, serial lines and control socket, with timers.
// SIGTERM, SIGINT and SIGHUP end run(); SIGPIPE is ignored (a program that
// goes away must not take its emulator with it).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace vboard {

class Loop {
 public:
  using Handler = std::function<void(short revents)>;
  using TimerId = uint64_t;

  Loop();
  ~Loop();
  Loop(const Loop &) = delete;
  Loop &operator=(const Loop &) = delete;

  // Calls handler with the poll revents whenever fd is ready for events
  // (POLLHUP/POLLERR always count). Replaces an earlier watch of fd.
  void watch(int fd, short events, Handler handler);
  // Changes the events of a watched descriptor (0: keep it, wait for none).
  void set_events(int fd, short events);
  // Stops watching fd; safe from inside any handler.
  void unwatch(int fd);

  // Calls fn once after delay (0: at the next turn of the loop).
  TimerId after(std::chrono::milliseconds delay, std::function<void()> fn);
  // Calls fn every period until cancelled.
  TimerId every(std::chrono::milliseconds period, std::function<void()> fn);
  void cancel(TimerId id);

  // Runs until stop() or a terminating signal; returns the signal number
  // that ended it, or 0.
  int run();
  void stop();

 private:
  struct Watch {
    short events;
    Handler handler;
    uint64_t generation;
  };
  struct Timer {
    std::chrono::steady_clock::time_point due;
    std::chrono::milliseconds period;
    std::function<void()> fn;
  };
  std::map<int, Watch> watches_;
  std::map<TimerId, Timer> timers_;
  TimerId next_timer_ = 1;
  uint64_t generation_ = 0;
  bool stopped_ = false;
  int signal_fd_ = -1;
  int fire_timers();
};

}  // namespace vboard
