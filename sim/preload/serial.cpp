// Serial lines: the board's lines are pseudo-terminals, which have no
// modem-control lines. For a descriptor opened through a board path that
// has a modem-control side channel (<root>/.vboard/modem/dev/<line>), the
// requests on those lines and BREAK are served here and reach the simulator
// on the other side of the line; everything else goes to the pty.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "preload.h"

#define VBP_EXPORT extern "C" __attribute__((visibility("default")))

namespace wire = vboard::wire;

void vbp_serial_opened(int fd, const vbp_path *p) {
  VBP_REAL(stat);
  VBP_REAL(close);
  if (!p->redirected) return;
  char side_path[PATH_MAX];
  int n = snprintf(side_path, sizeof side_path, "%.*s%s%s", static_cast<int>(p->board_len), p->buf,
                   wire::kModemDir, p->buf + p->board_len);
  struct stat st;
  if (n < 0 || static_cast<size_t>(n) >= sizeof side_path || real_stat(side_path, &st) != 0 ||
      !S_ISSOCK(st.st_mode)) {
    return;
  }
  int e = errno;  // a line without its simulator still works as a pty
  int side = vbp_connect_side(side_path);
  if (side >= 0) {
    vbp_exchange x{};
    x.req.op = wire::kOpen;
    if (!vbp_side_exchange(side, &x, nullptr, 0) || !vbp_file_attach(fd, VBP_SERIAL, side, nullptr, 0)) {
      real_close(side);
    }
  }
  errno = e;
}

namespace {

bool modem(vbp_file *f, wire::ModemOp op, uint64_t bits, int *word) {
  vbp_exchange x{};
  x.req.op = wire::kModem;
  x.req.a = op;
  x.req.b = bits;
  if (!vbp_file_exchange(f, &x)) return false;
  if (x.reply.result < 0) {
    errno = x.reply.err;
    return false;
  }
  if (word != nullptr) *word = static_cast<int>(x.reply.result);
  return true;
}

// A BREAK of ms milliseconds; the caller waits as long, as on a UART.
bool pulse(vbp_file *f, long ms) {
  if (!modem(f, wire::kBreakOn, 0, nullptr)) return false;
  timespec t{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
  return modem(f, wire::kBreakOff, 0, nullptr);
}

}  // namespace

bool vbp_serial_ioctl(vbp_file *f, unsigned long request, void *arg, int *result) {
  wire::ModemOp op;
  switch (request) {
    case TIOCMGET: op = wire::kModemGet; break;
    case TIOCMSET: op = wire::kModemSet; break;
    case TIOCMBIS: op = wire::kModemBis; break;
    case TIOCMBIC: op = wire::kModemBic; break;
    case TIOCSBRK: op = wire::kBreakOn; break;
    case TIOCCBRK: op = wire::kBreakOff; break;
    case TCSBRK:
    case TCSBRKP: {
      // A zero argument sends a BREAK of 0.25 s; TCSBRK with another value
      // only drains the output, which the pty does itself.
      long v = static_cast<long>(reinterpret_cast<intptr_t>(arg));
      if (request == TCSBRK && v != 0) return false;
      *result = pulse(f, (request == TCSBRKP && v > 0) ? v * 100 : 250) ? 0 : -1;
      return true;
    }
    default: return false;
  }
  int bits = 0;
  if (op == wire::kModemGet || op == wire::kModemSet || op == wire::kModemBis || op == wire::kModemBic) {
    if (arg == nullptr) {
      errno = EFAULT;
      *result = -1;
      return true;
    }
    if (op != wire::kModemGet) memcpy(&bits, arg, sizeof bits);
  }
  int word;
  if (!modem(f, op, static_cast<uint32_t>(bits), &word)) {
    *result = -1;
    return true;
  }
  if (op == wire::kModemGet) memcpy(arg, &word, sizeof word);
  *result = 0;
  return true;
}

VBP_EXPORT int tcsendbreak(int fd, int duration) {
  VBP_REAL(tcsendbreak);
  vbp_file *f = vbp_file_get(fd);
  if (f == nullptr) return real_tcsendbreak(fd, duration);
  int r;
  if (vbp_file_kind(f) == VBP_SERIAL) {
    // As the C library does: 0.25 s for zero, else the milliseconds given
    // rounded up to tenths of a second.
    r = pulse(f, duration <= 0 ? 250 : (static_cast<long>(duration) + 99) / 100 * 100) ? 0 : -1;
  } else {
    errno = ENOTTY;
    r = -1;
  }
  int e = errno;
  vbp_file_put(f);
  errno = e;
  return r;
}
