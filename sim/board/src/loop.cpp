#include "vboard/loop.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/signalfd.h>
#include <system_error>
#include <unistd.h>

namespace vboard {

namespace {
sigset_t terminating() {
  sigset_t s;
  sigemptyset(&s);
  sigaddset(&s, SIGTERM);
  sigaddset(&s, SIGINT);
  sigaddset(&s, SIGHUP);
  return s;
}
}  // namespace

Loop::Loop() {
  signal(SIGPIPE, SIG_IGN);
  sigset_t s = terminating();
  sigprocmask(SIG_BLOCK, &s, nullptr);
  signal_fd_ = signalfd(-1, &s, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signal_fd_ < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
}

Loop::~Loop() { close(signal_fd_); }

void Loop::watch(int fd, short events, Handler handler) {
  watches_[fd] = Watch{events, std::move(handler), ++generation_};
}

void Loop::set_events(int fd, short events) {
  auto it = watches_.find(fd);
  if (it != watches_.end()) it->second.events = events;
}

void Loop::unwatch(int fd) { watches_.erase(fd); }

Loop::TimerId Loop::after(std::chrono::milliseconds delay, std::function<void()> fn) {
  TimerId id = next_timer_++;
  timers_[id] = Timer{std::chrono::steady_clock::now() + delay, std::chrono::milliseconds(0), std::move(fn)};
  return id;
}

Loop::TimerId Loop::every(std::chrono::milliseconds period, std::function<void()> fn) {
  if (period.count() <= 0) throw std::invalid_argument("timer period must be positive");
  TimerId id = next_timer_++;
  timers_[id] = Timer{std::chrono::steady_clock::now() + period, period, std::move(fn)};
  return id;
}

void Loop::cancel(TimerId id) { timers_.erase(id); }

void Loop::stop() { stopped_ = true; }

// Fires the due timers; returns the poll time-out until the next one.
int Loop::fire_timers() {
  auto now = std::chrono::steady_clock::now();
  std::vector<TimerId> due;
  for (auto &[id, t] : timers_) {
    if (t.due <= now) due.push_back(id);
  }
  for (TimerId id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // cancelled by an earlier timer
    std::function<void()> fn = it->second.fn;
    if (it->second.period.count() > 0) {
      it->second.due += it->second.period;
      if (it->second.due < now) it->second.due = now + it->second.period;
    } else {
      timers_.erase(it);
    }
    fn();
  }
  if (timers_.empty()) return -1;
  auto next = timers_.begin()->second.due;
  for (auto &[id, t] : timers_) next = std::min(next, t.due);
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - std::chrono::steady_clock::now()).count();
  return ms < 0 ? 0 : static_cast<int>(std::min<long long>(ms, 60000));
}

int Loop::run() {
  stopped_ = false;
  while (!stopped_) {
    int timeout = fire_timers();
    if (stopped_) break;
    std::vector<pollfd> fds;
    std::vector<uint64_t> gens;
    fds.push_back(pollfd{signal_fd_, POLLIN, 0});
    gens.push_back(0);
    for (auto &[fd, w] : watches_) {
      fds.push_back(pollfd{fd, w.events, 0});
      gens.push_back(w.generation);
    }
    int n = poll(fds.data(), fds.size(), timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    if (fds[0].revents != 0) {
      signalfd_siginfo si;
      if (read(signal_fd_, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) return static_cast<int>(si.ssi_signo);
    }
    for (size_t i = 1; i < fds.size() && !stopped_; ++i) {
      if (fds[i].revents == 0) continue;
      auto it = watches_.find(fds[i].fd);
      // Skip descriptors unwatched (or replaced) by an earlier handler.
      if (it == watches_.end() || it->second.generation != gens[i]) continue;
      Handler h = it->second.handler;
      h(fds[i].revents);
    }
  }
  return 0;
}

}  // namespace vboard
