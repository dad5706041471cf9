// vboard-gpio: the board's GPIO driver and the attribute files beside it.
//
//   /dev/gpio/in0 .. /dev/gpio/inF   one event device per input: every read
//       hands out one 28-octet GpioEventRecord (edge time, notification time,
//       sequence number per input from 1, address, value); readable while a
//       record waits; EAGAIN when none does; a read of fewer than 28 octets
//       is refused (EINVAL) and recorded as a violation. A record may be
//       handed out in two pieces ("split"): the read that takes the rest may
//       ask for just the rest. Edges closer together than the input's
//       debounce time (milliseconds) are not reported: an edge is reported
//       once the input has kept its level that long, and one that only
//       returns to the level last reported is a bounce and not reported at
//       all. Edges of the trigger attribute are not debounced.
//   /dev/gpio/out0 .. /dev/gpio/out3 output devices: "1\n" or "0\n" per write,
//       reflected in /sys/class/gpio/out<n>/level ("hi\n"/"lo\n").
//   /dev/gpio/ALL   snapshot: 21 octets, inputs 0..15 as 'H'/'L', outputs
//       0..3 as '1'/'0', a line end; then end of file.
//   /sys/class/gpio/in<X>/{negated,edge,debounce,trigger} and
//   /sys/class/gpio/out<n>/negated   attributes with sysfs semantics (a
//       write replaces the value, a read shows it from the file position):
//       negated takes "y"/"n" and shows "yes\n"/"no\n"; edge takes "rising",
//       "falling", "both" or "none" and shows it with a line end; debounce
//       takes decimal 0..2147483647 and shows "%d\n"; trigger takes "1" and
//       raises an event with the input's present level; reads fail (EIO).
//   /sys/class/gpio/in<X>/level, /sys/class/gpio/out<n>/level,
//   /sys/class/hwmon/hwmon{0,1,2}/device/{temp1,in0}_input   plain files:
//       a test writes what it wants the program to read.
//   /sys/class/leds/board:{green,yellow}/brightness   LEDs: "1\n" or "0\n"
//       per write, read shows the value; opens counted.
//
// Control words ("vboard ctl gpio ..."), inputs as a hex digit or 0..15:
//   edge N VALUE [ESEC ENSEC [RSEC RNSEC]]  inject an edge (times default to now)
//   burst N COUNT        inject COUNT edges on N, values alternating 1, 0, ...
//   train N COUNT MS     inject COUNT edges on N, one every MS milliseconds
//   split N OCTETS MS    the next record read from N comes in two pieces: its
//                        first OCTETS octets, the rest MS milliseconds later
//   vanish N | restore N  remove the device of input N (open descriptors hang
//                        up) or bring it back
//   fail out N | fail led green|yellow   the next write there fails with EIO
//   all TEXT | all live  fix the ALL snapshot to TEXT, or compute it again
//   show                 the state of outputs, LEDs, inputs and attributes
//   get PATH             an attribute's value (e.g. in3/debounce)
//   set PATH TEXT        what the attribute shows from now on, as given
//   violations           what the program did against the interface, one a line
//   reset                queues, counters, attributes and violations to defaults
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "gpio_event.h"
#include "vboard/control.h"
#include "vboard/device.h"
#include "vboard/emulator.h"

namespace
{

constexpr int kInputs = 16;
constexpr int kOutputs = 4;

struct Board;

// An edge waiting for its input to keep the level for the debounce time.
struct HeldEdge {
    uint32_t value = 0;
    timespec event{}, report{};
    bool bounced = false; // it ended an edge that did not last
    unsigned generation = 0;
};

struct Input {
    std::deque<GpioEventRecord> queue;
    uint32_t sequence = 0;
    unsigned delivered = 0;
    unsigned bounces = 0; // edges not reported for the debounce time
    int splitAt = 0;      // octets of the next record's first piece, 0 = whole
    int splitMs = 0;
    std::vector<uint8_t> rest; // the second piece of a split record
    bool restReady = false;
    bool reportedHigh = false;
    std::optional<HeldEdge> held;
    unsigned generation = 0;
    std::unique_ptr<vboard::DeviceServer> device;
};

struct Output {
    bool on = false;
    unsigned writes = 0;
    bool fail = false;
    std::unique_ptr<vboard::DeviceServer> device;
};

struct Led {
    explicit Led(const char *n) : name(n) {}
    const char *name;
    bool on = false;
    unsigned opens = 0, writes = 0;
    bool fail = false;
    std::unique_ptr<vboard::DeviceServer> device;
};

struct Attribute {
    std::string kind; // negated, edge, debounce, trigger
    std::string shown;
    int input = -1; // the input a trigger raises
    std::unique_ptr<vboard::DeviceServer> device;
};

struct Board {
    vboard::Loop &loop;
    std::string root;
    Input inputs[kInputs];
    Output outputs[kOutputs];
    Led leds[2] = {Led("green"), Led("yellow")};
    std::map<std::string, Attribute> attributes; // "in3/negated"
    std::vector<std::string> violations;
    std::string fixedAll; // empty: live
    std::unique_ptr<vboard::DeviceServer> all;

    Board(vboard::Loop &l, std::string r) : loop(l), root(std::move(r)) {}

    void violation(const std::string &what) { violations.push_back(what); }
    std::string sysPath(const std::string &rel) const { return root + "/sys/class/" + rel; }
    void writeFile(const std::string &rel, const std::string &text) const
    {
        std::ofstream(sysPath(rel), std::ios::trunc) << text;
    }
    std::string readFile(const std::string &rel) const
    {
        std::ifstream in(sysPath(rel));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void updateReadiness(int n);
    void inject(int n, uint32_t value, const timespec *event, const timespec *report);
    void report(int n, uint32_t value, const timespec &event, const timespec &report);
    void edge(int n, uint32_t value, const timespec *event, const timespec *report);
    void settle(int n);
    long debounceMs(int n) const;
    std::string snapshot() const;
};

std::string inputName(int n)
{
    char b[8];
    snprintf(b, sizeof b, "in%X", n);
    return b;
}

void Board::updateReadiness(int n)
{
    if (!inputs[n].device)
        return;
    const Input &in = inputs[n];
    const bool readable = in.rest.empty() ? !in.queue.empty() : in.restReady;
    for (vboard::Connection *c : inputs[n].device->connections())
        c->set_readable(readable);
}

void Board::report(int n, uint32_t value, const timespec &ev, const timespec &rep)
{
    GpioEventRecord r{};
    r.event_sec = static_cast<int32_t>(ev.tv_sec);
    r.event_nsec = static_cast<int32_t>(ev.tv_nsec);
    r.report_sec = static_cast<int32_t>(rep.tv_sec);
    r.report_nsec = static_cast<int32_t>(rep.tv_nsec);
    r.sequence = ++inputs[n].sequence;
    r.address = static_cast<uint32_t>(n);
    r.value = value;
    inputs[n].queue.push_back(r);
    inputs[n].reportedHigh = value != 0;
    writeFile("gpio/" + inputName(n) + "/level", value != 0 ? "hi\n" : "lo\n");
    updateReadiness(n);
}

long Board::debounceMs(int n) const
{
    const auto it = attributes.find(inputName(n) + "/debounce");
    return it == attributes.end() ? 0 : atol(it->second.shown.c_str());
}

// The held edge has lasted the debounce time.
void Board::settle(int n)
{
    Input &in = inputs[n];
    if (!in.held)
        return;
    const HeldEdge h = *in.held;
    in.held.reset();
    if (h.bounced && (h.value != 0) == in.reportedHigh) {
        ++in.bounces;
        return;
    }
    report(n, h.value, h.event, h.report);
}

int64_t millisBetween(const timespec &from, const timespec &to)
{
    return (static_cast<int64_t>(to.tv_sec) - from.tv_sec) * 1000 + (to.tv_nsec - from.tv_nsec) / 1000000;
}

// A change of the input's level, debounced as the driver does.
void Board::edge(int n, uint32_t value, const timespec *event, const timespec *report)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const timespec ev = event ? *event : now;
    const timespec rep = report ? *report : now;
    const long debounce = debounceMs(n);
    if (debounce <= 0) {
        this->report(n, value, ev, rep);
        return;
    }
    Input &in = inputs[n];
    bool bounced = false;
    if (in.held) {
        if (millisBetween(in.held->event, ev) < debounce) {
            ++in.bounces; // the held edge did not last
            bounced = true;
        } else {
            settle(n);
        }
    }
    in.held = HeldEdge{value, ev, rep, bounced, ++in.generation};
    const unsigned generation = in.generation;
    loop.after(std::chrono::milliseconds(debounce), [this, n, generation] {
        if (inputs[n].held && inputs[n].held->generation == generation)
            settle(n);
    });
}

void Board::inject(int n, uint32_t value, const timespec *event, const timespec *report)
{
    edge(n, value, event, report);
}

std::string Board::snapshot() const
{
    if (!fixedAll.empty())
        return fixedAll;
    std::string s;
    for (int n = 0; n < kInputs; ++n)
        s += readFile("gpio/" + inputName(n) + "/level").rfind("hi", 0) == 0 ? 'H' : 'L';
    for (const Output &o : outputs)
        s += o.on ? '1' : '0';
    s += '\n';
    return s;
}

class InputSession : public vboard::Session
{
  public:
    InputSession(Board &b, int n, vboard::Connection &c) : b_(b), n_(n), c_(c) {}
    int open(int flags) override
    {
        if ((flags & O_ACCMODE) != O_RDONLY)
            b_.violation(inputName(n_) + ": opened for writing");
        c_.set_readable(!b_.inputs[n_].queue.empty());
        return 0;
    }
    vboard::Result read(std::vector<uint8_t> &data, size_t count, bool) override
    {
        Input &in = b_.inputs[n_];
        if (!in.rest.empty()) {
            if (!in.restReady)
                return vboard::Result::error(EAGAIN);
            if (count < in.rest.size()) {
                b_.violation(inputName(n_) + ": read of " + std::to_string(count) + " octets");
                return vboard::Result::error(EINVAL);
            }
            data = std::move(in.rest);
            in.rest.clear();
            ++in.delivered;
            b_.updateReadiness(n_);
            return vboard::Result::ok(static_cast<int64_t>(data.size()));
        }
        if (count < sizeof(GpioEventRecord)) {
            b_.violation(inputName(n_) + ": read of " + std::to_string(count) + " octets");
            return vboard::Result::error(EINVAL);
        }
        if (in.queue.empty())
            return vboard::Result::error(EAGAIN);
        const GpioEventRecord r = in.queue.front();
        in.queue.pop_front();
        const auto *p = reinterpret_cast<const uint8_t *>(&r);
        if (in.splitAt == 0) {
            data.assign(p, p + sizeof r);
            ++in.delivered;
            b_.updateReadiness(n_);
            return vboard::Result::ok(static_cast<int64_t>(sizeof r));
        }
        const size_t first = static_cast<size_t>(in.splitAt);
        data.assign(p, p + first);
        in.rest.assign(p + first, p + sizeof r);
        in.restReady = false;
        in.splitAt = 0;
        Board &b = b_;
        const int n = n_;
        b_.loop.after(std::chrono::milliseconds(in.splitMs), [&b, n] {
            b.inputs[n].restReady = true;
            b.updateReadiness(n);
        });
        b_.updateReadiness(n_);
        return vboard::Result::ok(static_cast<int64_t>(first));
    }
    vboard::Result write(std::span<const uint8_t>, bool) override
    {
        b_.violation(inputName(n_) + ": write");
        return vboard::Result::error(EINVAL);
    }

  private:
    Board &b_;
    int n_;
    vboard::Connection &c_;
};

class OutputSession : public vboard::Session
{
  public:
    OutputSession(Board &b, int n) : b_(b), n_(n) {}
    vboard::Result read(std::vector<uint8_t> &, size_t, bool) override
    {
        b_.violation("out" + std::to_string(n_) + ": read");
        return vboard::Result::error(EINVAL);
    }
    vboard::Result write(std::span<const uint8_t> data, bool) override
    {
        Output &o = b_.outputs[n_];
        if (o.fail) {
            o.fail = false;
            return vboard::Result::error(EIO);
        }
        const std::string text(data.begin(), data.end());
        if (text != "1\n" && text != "0\n") {
            b_.violation("out" + std::to_string(n_) + ": wrote '" + text + "'");
            return vboard::Result::error(EINVAL);
        }
        o.on = text[0] == '1';
        ++o.writes;
        b_.writeFile("gpio/out" + std::to_string(n_) + "/level", o.on ? "hi\n" : "lo\n");
        return vboard::Result::ok(static_cast<int64_t>(data.size()));
    }

  private:
    Board &b_;
    int n_;
};

class AllSession : public vboard::Session
{
  public:
    explicit AllSession(Board &b) : b_(b) {}
    vboard::Result read(std::vector<uint8_t> &data, size_t count, bool) override
    {
        if (pos_ == 0)
            text_ = b_.snapshot();
        const size_t n = pos_ < text_.size() ? std::min(count, text_.size() - pos_) : 0;
        data.assign(text_.begin() + static_cast<long>(pos_), text_.begin() + static_cast<long>(pos_ + n));
        pos_ += n;
        return vboard::Result::ok(static_cast<int64_t>(n));
    }
    vboard::Result write(std::span<const uint8_t>, bool) override
    {
        b_.violation("ALL: write");
        return vboard::Result::error(EINVAL);
    }

  private:
    Board &b_;
    std::string text_;
    size_t pos_ = 0;
};

class LedSession : public vboard::Session
{
  public:
    LedSession(Board &b, int n) : b_(b), n_(n) {}
    int open(int) override
    {
        ++b_.leds[n_].opens;
        return 0;
    }
    vboard::Result read(std::vector<uint8_t> &data, size_t count, bool) override
    {
        const std::string text = b_.leds[n_].on ? "1\n" : "0\n";
        const size_t n = pos_ < text.size() ? std::min(count, text.size() - pos_) : 0;
        data.assign(text.begin() + static_cast<long>(pos_), text.begin() + static_cast<long>(pos_ + n));
        pos_ += n;
        return vboard::Result::ok(static_cast<int64_t>(n));
    }
    vboard::Result write(std::span<const uint8_t> data, bool) override
    {
        Led &l = b_.leds[n_];
        if (l.fail) {
            l.fail = false;
            return vboard::Result::error(EIO);
        }
        const std::string text(data.begin(), data.end());
        if (text != "1\n" && text != "0\n") {
            b_.violation(std::string("led ") + l.name + ": wrote '" + text + "'");
            return vboard::Result::error(EINVAL);
        }
        l.on = text[0] == '1';
        ++l.writes;
        return vboard::Result::ok(static_cast<int64_t>(data.size()));
    }

  private:
    Board &b_;
    int n_;
    size_t pos_ = 0;
};

bool parseLong(const std::string &s, long long &v)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    v = strtoll(s.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

class AttributeSession : public vboard::Session
{
  public:
    AttributeSession(Board &b, std::string key) : b_(b), key_(std::move(key)) {}
    int open(int flags) override
    {
        if ((flags & O_NONBLOCK) == 0)
            b_.violation(key_ + ": opened blocking");
        return 0;
    }
    vboard::Result read(std::vector<uint8_t> &data, size_t count, bool) override
    {
        Attribute &a = b_.attributes[key_];
        if (a.kind == "trigger")
            return vboard::Result::error(EIO);
        const size_t n = pos_ < a.shown.size() ? std::min(count, a.shown.size() - pos_) : 0;
        data.assign(a.shown.begin() + static_cast<long>(pos_), a.shown.begin() + static_cast<long>(pos_ + n));
        pos_ += n;
        return vboard::Result::ok(static_cast<int64_t>(n));
    }
    vboard::Result write(std::span<const uint8_t> data, bool) override
    {
        Attribute &a = b_.attributes[key_];
        const std::string text(data.begin(), data.end());
        const auto refuse = [&](bool program_fault) {
            if (program_fault)
                b_.violation(key_ + ": wrote '" + text + "'");
            return vboard::Result::error(EINVAL);
        };
        if (a.kind == "negated") {
            if (text != "y" && text != "n")
                return refuse(true);
            a.shown = text == "y" ? "yes\n" : "no\n";
        } else if (a.kind == "edge") {
            std::string word = text;
            if (!word.empty() && word.back() == '\n')
                word.pop_back();
            if (word != "rising" && word != "falling" && word != "both" && word != "none")
                return refuse(false); // the application's text, not the library's
            a.shown = word + "\n";
        } else if (a.kind == "debounce") {
            long long v = 0;
            if (text.find_first_not_of("0123456789") != std::string::npos || !parseLong(text, v) ||
                v > 2147483647L)
                return refuse(true);
            a.shown = std::to_string(v) + "\n";
        } else if (a.kind == "trigger") {
            if (text != "1")
                return refuse(true);
            const bool high = b_.readFile("gpio/" + inputName(a.input) + "/level").rfind("hi", 0) == 0;
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            b_.report(a.input, high ? 1 : 0, now, now);
        }
        return vboard::Result::ok(static_cast<int64_t>(data.size()));
    }

  private:
    Board &b_;
    std::string key_;
    size_t pos_ = 0;
};

void makeInputDevice(Board &b, int n)
{
    b.inputs[n].device = std::make_unique<vboard::DeviceServer>(
        b.loop, b.root, "gpio/" + inputName(n),
        [&b, n](vboard::Connection &c) { return std::make_unique<InputSession>(b, n, c); });
}

void addAttribute(Board &b, const std::string &dir, const std::string &kind, const std::string &shown, int input)
{
    const std::string key = dir + "/" + kind;
    Attribute &a = b.attributes[key];
    a.kind = kind;
    a.shown = shown;
    a.input = input;
    a.device = std::make_unique<vboard::DeviceServer>(
        b.loop, b.root, "../sys/class/gpio/" + key,
        [&b, key](vboard::Connection &) { return std::make_unique<AttributeSession>(b, key); });
}

void defaults(Board &b)
{
    for (int n = 0; n < kInputs; ++n) {
        Input &in = b.inputs[n];
        in.queue.clear();
        in.sequence = 0;
        in.delivered = 0;
        in.bounces = 0;
        in.splitAt = in.splitMs = 0;
        in.rest.clear();
        in.restReady = false;
        in.reportedHigh = false;
        in.held.reset();
        ++in.generation;
        b.writeFile("gpio/" + inputName(n) + "/level", "lo\n");
        const std::string dir = inputName(n);
        b.attributes[dir + "/negated"].shown = "no\n";
        b.attributes[dir + "/edge"].shown = "both\n";
        b.attributes[dir + "/debounce"].shown = "0\n";
    }
    for (int n = 0; n < kOutputs; ++n) {
        b.outputs[n].on = false;
        b.outputs[n].writes = 0;
        b.outputs[n].fail = false;
        b.writeFile("gpio/out" + std::to_string(n) + "/level", "lo\n");
        b.attributes["out" + std::to_string(n) + "/negated"].shown = "no\n";
    }
    for (Led &l : b.leds) {
        l.on = false;
        l.opens = l.writes = 0;
        l.fail = false;
    }
    b.writeFile("hwmon/hwmon0/device/temp1_input", "45250\n");
    b.writeFile("hwmon/hwmon1/device/in0_input", "1234\n");
    b.writeFile("hwmon/hwmon2/device/in0_input", "2345\n");
    b.fixedAll.clear();
    b.violations.clear();
}

void build(Board &b)
{
    for (const char *d : {"gpio", "hwmon/hwmon0/device", "hwmon/hwmon1/device", "hwmon/hwmon2/device"}) {
        std::string path = b.root + "/sys/class";
        mkdir(path.c_str(), 0755);
        std::string rel = d;
        size_t pos = 0;
        while (pos != std::string::npos) {
            pos = rel.find('/', pos + 1);
            mkdir((path + "/" + rel.substr(0, pos)).c_str(), 0755);
        }
    }
    for (int n = 0; n < kInputs; ++n) {
        const std::string dir = inputName(n);
        mkdir(b.sysPath("gpio/" + dir).c_str(), 0755);
        addAttribute(b, dir, "negated", "", n);
        addAttribute(b, dir, "edge", "", n);
        addAttribute(b, dir, "debounce", "", n);
        addAttribute(b, dir, "trigger", "", n);
        makeInputDevice(b, n);
    }
    for (int n = 0; n < kOutputs; ++n) {
        mkdir(b.sysPath("gpio/out" + std::to_string(n)).c_str(), 0755);
        addAttribute(b, "out" + std::to_string(n), "negated", "", -1);
        b.outputs[n].device = std::make_unique<vboard::DeviceServer>(
            b.loop, b.root, "gpio/out" + std::to_string(n),
            [&b, n](vboard::Connection &) { return std::make_unique<OutputSession>(b, n); });
    }
    for (int n = 0; n < 2; ++n) {
        b.leds[n].device = std::make_unique<vboard::DeviceServer>(
            b.loop, b.root, std::string("../sys/class/leds/board:") + b.leds[n].name + "/brightness",
            [&b, n](vboard::Connection &) { return std::make_unique<LedSession>(b, n); });
    }
    b.all = std::make_unique<vboard::DeviceServer>(
        b.loop, b.root, "gpio/ALL", [&b](vboard::Connection &) { return std::make_unique<AllSession>(b); });
    defaults(b);
}

bool parseInput(const std::string &s, int &n)
{
    long long v;
    if (s.size() == 1 && isxdigit(static_cast<unsigned char>(s[0]))) {
        n = static_cast<int>(strtol(s.c_str(), nullptr, 16));
        return true;
    }
    if (parseLong(s, v) && v >= 0 && v < kInputs) {
        n = static_cast<int>(v);
        return true;
    }
    return false;
}

std::string show(const Board &b)
{
    std::string s;
    char line[160];
    for (int n = 0; n < kOutputs; ++n) {
        snprintf(line, sizeof line, "out%d %s writes=%u\n", n, b.outputs[n].on ? "on" : "off", b.outputs[n].writes);
        s += line;
    }
    for (const Led &l : b.leds) {
        snprintf(line, sizeof line, "led %s %s opens=%u writes=%u\n", l.name, l.on ? "on" : "off", l.opens,
                 l.writes);
        s += line;
    }
    for (int n = 0; n < kInputs; ++n) {
        const Input &in = b.inputs[n];
        snprintf(line, sizeof line, "%s %s queued=%zu sequence=%u delivered=%u bounces=%u opens=%zu\n",
                 inputName(n).c_str(), in.device ? "present" : "gone", in.queue.size(), in.sequence, in.delivered,
                 in.bounces, in.device ? in.device->connections().size() : 0);
        s += line;
    }
    return s;
}

// Edges at a steady pace, from the emulator's loop (no control round trip
// between two of them).
void train(Board &b, int n, long left, std::chrono::milliseconds period)
{
    b.loop.after(period, [&b, n, left, period] {
        b.inject(n, left % 2 == 0 ? 0 : 1, nullptr, nullptr);
        if (left > 1)
            train(b, n, left - 1, period);
    });
}

const char *kUsage = "usage: edge N VALUE [ESEC ENSEC [RSEC RNSEC]] | burst N COUNT | split N OCTETS MS | "
                     "train N COUNT MS | vanish N | restore N | fail out N | fail led green|yellow | all TEXT|live | show | "
                     "get PATH | set PATH TEXT | violations | reset\n";

vboard::ControlReply command(Board &b, const std::vector<std::string> &w)
{
    int n = 0;
    long long v = 0;
    if (w.size() == 1 && w[0] == "show")
        return {0, show(b)};
    if (w.size() == 1 && w[0] == "violations") {
        std::string s;
        for (const std::string &x : b.violations)
            s += x + "\n";
        return {0, s};
    }
    if (w.size() == 1 && w[0] == "reset") {
        defaults(b);
        for (int i = 0; i < kInputs; ++i)
            b.updateReadiness(i);
        return {0, ""};
    }
    if (w.size() == 2 && w[0] == "get") {
        auto it = b.attributes.find(w[1]);
        if (it == b.attributes.end())
            return {2, "no attribute " + w[1] + "\n"};
        return {0, it->second.shown};
    }
    if (w.size() == 3 && w[0] == "set") {
        auto it = b.attributes.find(w[1]);
        if (it == b.attributes.end())
            return {2, "no attribute " + w[1] + "\n"};
        it->second.shown = w[2];
        return {0, ""};
    }
    if (w.size() >= 3 && w[0] == "edge" && parseInput(w[1], n) && parseLong(w[2], v) && v >= 0 &&
        v <= 0xFFFFFFFFLL && (w.size() == 3 || w.size() == 5 || w.size() == 7)) {
        timespec t[2]{};
        for (size_t i = 3; i < w.size(); ++i) {
            long long x;
            if (!parseLong(w[i], x))
                return {2, kUsage};
            if ((i - 3) % 2 == 0)
                t[(i - 3) / 2].tv_sec = x;
            else
                t[(i - 3) / 2].tv_nsec = x;
        }
        b.inject(n, static_cast<uint32_t>(v), w.size() >= 5 ? &t[0] : nullptr, w.size() >= 7 ? &t[1] : nullptr);
        return {0, ""};
    }
    if (w.size() == 3 && w[0] == "burst" && parseInput(w[1], n) && parseLong(w[2], v) && v > 0) {
        for (long i = 0; i < v; ++i)
            b.inject(n, i % 2 == 0 ? 1 : 0, nullptr, nullptr);
        return {0, ""};
    }
    if (w.size() == 4 && w[0] == "train" && parseInput(w[1], n) && parseLong(w[2], v) && v > 0) {
        long long ms = 0;
        if (!parseLong(w[3], ms) || ms < 0)
            return {2, kUsage};
        train(b, n, v, std::chrono::milliseconds(ms));
        return {0, ""};
    }
    if (w.size() == 4 && w[0] == "split" && parseInput(w[1], n) && parseLong(w[2], v) && v > 0 && v < 28) {
        long long ms = 0;
        if (!parseLong(w[3], ms) || ms < 0 || ms > 60000)
            return {2, kUsage};
        b.inputs[n].splitAt = static_cast<int>(v);
        b.inputs[n].splitMs = static_cast<int>(ms);
        return {0, ""};
    }
    if (w.size() == 2 && w[0] == "vanish" && parseInput(w[1], n)) {
        b.inputs[n].device.reset();
        return {0, ""};
    }
    if (w.size() == 2 && w[0] == "restore" && parseInput(w[1], n)) {
        if (!b.inputs[n].device)
            makeInputDevice(b, n);
        return {0, ""};
    }
    if (w.size() == 3 && w[0] == "fail" && w[1] == "out" && parseLong(w[2], v) && v >= 0 && v < kOutputs) {
        b.outputs[v].fail = true;
        return {0, ""};
    }
    if (w.size() == 3 && w[0] == "fail" && w[1] == "led" && (w[2] == "green" || w[2] == "yellow")) {
        b.leds[w[2] == "green" ? 0 : 1].fail = true;
        return {0, ""};
    }
    if (w.size() == 2 && w[0] == "all") {
        b.fixedAll = w[1] == "live" ? "" : w[1];
        return {0, ""};
    }
    return {2, kUsage};
}

} // namespace

int main()
{
    return vboard::emulator_main("vboard-gpio", [](vboard::Loop &loop, const std::string &root) {
        Board board(loop, root);
        build(board);
        vboard::ControlServer ctl(loop, root, "gpio",
                                  [&board](const std::vector<std::string> &w) { return command(board, w); });
        vboard::serve(loop);
    });
}
