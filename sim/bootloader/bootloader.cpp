// vboard-bootloader: the Telit modem's serial boot loader on a line of the
// board (default ttySA0), seen from the modem. It sleeps until it has seen
// the boot character 'U' (0x55) the given number of times, answers with the
// wake-up pattern of its product, then takes the firmware blocks, each
// answered with one acknowledgement octet. With an image it knows how long
// each block is and what it must hold (its flash contents); without one a
// block ends when the line has been quiet for 20 ms.
//
//   vboard-bootloader [--line NAME] [--product NAME | --wake HEX] [--wake-after N]
//                     [--ack HEX] [--image FILE] [--save FILE] [--rate OCTETS_PER_S]
//                     [--fault nack@N | octet@N=HEX | silent@N | boot-wrong | boot-silent]
//                     [--hangup-after MS] [--stray HEX]
//
// --rate paces both directions as a UART at that many octets per second
// (11520 is 115200 baud, 8N1): the program's octets are taken no faster.
// boot-wrong answers every boot character with the wake pattern and stays
// asleep (give a pattern the program does not expect with --wake).
// silent@N answers nothing from block N on (and boot-silent never wakes);
// with --hangup-after the device then drops off the line after MS, so that
// the program's reads end at once instead of after their full time-out.
// --stray sends line noise: these octets right behind the wake-up answer, in
// the same write, so that they wait on the line before the first block.
//
// Boot characters that arrive after the wake-up and before the first block
// were sent before the program saw the answer: they are counted ("late") and
// dropped, unless the image's first block itself begins with 'U'.
//
// Every breach of the protocol by the program is recorded: octets other than
// the boot character before the boot loader woke, a block that is not the
// image's (length or contents), more blocks than the image has, a line not
// set to 8N1 without hardware flow control at the expected speed.
//
// Control words (vboard ctl bootloader ...): show, violations, blocks.
#include "vboard/control.h"
#include "vboard/emulator.h"
#include "vboard/loop.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace
{

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> hex(const std::string &text)
{
    if (text.empty() || text.size() % 2 != 0)
        throw std::invalid_argument("bad hex octets '" + text + "'");
    std::vector<uint8_t> out;
    for (size_t i = 0; i < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

// The wake-up pattern each family of modems sends.
std::vector<uint8_t> wake_pattern(const std::string &product)
{
    static const char *three[] = {"GM864-QUAD V2", "GE864-V2", "GC864-V2", "GM864-DUAL V2"};
    for (const char *p : three)
        if (product == p)
            return {0x92, 0x00, 0x00};
    return {0xA0};
}

struct Fault {
    enum Kind { none, nack, octet, silent } kind = none;
    long block = 0;
    uint8_t value = 0;
};

struct Config {
    std::string line = "ttySA0";
    std::vector<uint8_t> wake{0xA0};
    long wake_after = 1;
    uint8_t ack = 0x01;
    std::string image, save;
    unsigned rate = 0;
    Fault fault;
    bool boot_wrong = false, boot_silent = false;
    long hangup_after = -1;
    std::vector<uint8_t> stray;
};

Config parse(int argc, char **argv)
{
    Config c;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--line") {
            c.line = value();
        } else if (arg == "--product") {
            c.wake = wake_pattern(value());
        } else if (arg == "--wake") {
            c.wake = hex(value());
        } else if (arg == "--wake-after") {
            c.wake_after = std::stol(value());
        } else if (arg == "--ack") {
            c.ack = hex(value()).at(0);
        } else if (arg == "--image") {
            c.image = value();
        } else if (arg == "--save") {
            c.save = value();
        } else if (arg == "--rate") {
            c.rate = static_cast<unsigned>(std::stoul(value()));
        } else if (arg == "--stray") {
            c.stray = hex(value());
        } else if (arg == "--hangup-after") {
            c.hangup_after = std::stol(value());
        } else if (arg == "--fault") {
            std::string f = value();
            if (f == "boot-wrong") {
                c.boot_wrong = true;
                continue;
            }
            if (f == "boot-silent") {
                c.boot_silent = true;
                continue;
            }
            auto at = f.find('@');
            if (at == std::string::npos)
                throw std::invalid_argument("fault '" + f + "' needs @BLOCK");
            std::string kind = f.substr(0, at), rest = f.substr(at + 1);
            auto eq = rest.find('=');
            c.fault.block = std::stol(rest.substr(0, eq));
            if (kind == "nack") {
                c.fault.kind = Fault::nack;
            } else if (kind == "silent") {
                c.fault.kind = Fault::silent;
            } else if (kind == "octet" && eq != std::string::npos) {
                c.fault.kind = Fault::octet;
                c.fault.value = hex(rest.substr(eq + 1)).at(0);
            } else {
                throw std::invalid_argument("unknown fault '" + f + "'");
            }
        } else {
            throw std::invalid_argument("unknown argument " + arg);
        }
    }
    return c;
}

// The blocks of an image as the boot loader expects them, read with its own
// idea of the file: u16 HeaderSize, then u16 L and L + 1 octets each.
std::vector<std::vector<uint8_t>> image_blocks(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read image " + path);
    std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (f.size() < 2)
        throw std::runtime_error("image " + path + " has no header");
    size_t pos = f[0] | (f[1] << 8);
    std::vector<std::vector<uint8_t>> blocks;
    while (pos + 2 <= f.size()) {
        size_t n = (f[pos] | (f[pos + 1] << 8)) + 1u;
        pos += 2;
        size_t take = std::min(n, f.size() - pos);
        blocks.emplace_back(f.begin() + static_cast<long>(pos), f.begin() + static_cast<long>(pos + take));
        pos += take;
    }
    return blocks;
}

class BootLoader
{
  public:
    BootLoader(vboard::Loop &loop, const std::string &root, Config config)
        : loop_(loop), c_(std::move(config)), link_(root + "/dev/" + c_.line)
    {
        if (!c_.image.empty()) {
            expected_ = image_blocks(c_.image);
            have_image_ = true;
        }
        if (!c_.save.empty()) {
            save_ = std::fopen(c_.save.c_str(), "wb");
            if (save_ == nullptr)
                throw std::runtime_error("cannot write " + c_.save);
        }
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        char slave[PATH_MAX];
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
            ptsname_r(master_, slave, sizeof slave) != 0)
            throw std::runtime_error(std::string("pty: ") + std::strerror(errno));
        // Held open so that the line stays up between the program's opens.
        // The line keeps the terminal's defaults: setting it up is the program's job.
        slave_keep_ = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_keep_ < 0)
            throw std::runtime_error(std::string("open ") + slave + ": " + std::strerror(errno));
        mkdir((root + "/dev").c_str(), 0755);
        unlink(link_.c_str());
        if (symlink(slave, link_.c_str()) != 0)
            throw std::runtime_error("symlink " + link_ + ": " + std::strerror(errno));
        loop_.watch(master_, POLLIN, [this](short ev) { readable(ev); });
    }

    ~BootLoader()
    {
        if (save_ != nullptr)
            std::fclose(save_);
        unlink(link_.c_str());
        hang_up();
    }

    vboard::ControlReply control(const std::vector<std::string> &words)
    {
        std::ostringstream out;
        if (words.size() == 1 && words[0] == "show") {
            out << "boot " << boot_chars_ << "\nawake " << (awake_ ? 1 : 0) << "\nlate " << late_boot_chars_
                << "\nblocks " << blocks_.size() << "\noctets " << octets_ << "\nviolations "
                << violations_.size() << "\n";
        } else if (words.size() == 1 && words[0] == "violations") {
            for (const auto &v : violations_)
                out << v << "\n";
        } else if (words.size() == 1 && words[0] == "blocks") {
            for (const auto &b : blocks_)
                out << b.size() << "\n";
        } else {
            return {2, "words: show | violations | blocks\n"};
        }
        return {0, out.str()};
    }

  private:
    void violation(const std::string &what) { violations_.push_back(what); }

    // The program's octets, taken at the line rate when one is set.
    void readable(short revents)
    {
        if ((revents & POLLIN) == 0)
            return;
        size_t allowed = 4096;
        if (c_.rate > 0) {
            auto now = Clock::now();
            if (credit_time_ < now - 20ms)
                credit_time_ = now - 1ms; // idle line: a FIFO's worth at most
            auto interval = std::chrono::nanoseconds(1000000000LL / c_.rate);
            allowed = static_cast<size_t>((now - credit_time_) / interval);
            if (allowed == 0) {
                loop_.set_events(master_, 0);
                loop_.after(1ms, [this] {
                    if (master_ >= 0)
                        loop_.set_events(master_, POLLIN);
                });
                return;
            }
            allowed = std::min<size_t>(allowed, 4096);
            credit_time_ += interval * static_cast<long>(allowed);
        }
        uint8_t buf[4096];
        ssize_t n = read(master_, buf, allowed);
        if (n <= 0)
            return;
        check_line();
        for (ssize_t i = 0; i < n; ++i)
            octet(buf[i]);
    }

    // What a UART at the boot loader's speed and format would notice.
    void check_line()
    {
        termios t{};
        if (line_checked_ || tcgetattr(master_, &t) != 0)
            return;
        line_checked_ = true;
        if (cfgetospeed(&t) != B115200 || cfgetispeed(&t) != B115200)
            violation("line speed is not 115200 baud");
        if ((t.c_cflag & CSIZE) != CS8 || (t.c_cflag & (PARENB | CSTOPB)) != 0)
            violation("line is not 8N1");
        if ((t.c_cflag & CRTSCTS) != 0)
            violation("line uses RTS/CTS flow control, the boot loader has none");
    }

    void octet(uint8_t o)
    {
        ++octets_;
        if (!awake_) {
            if (o != 'U') {
                violation("octet " + std::to_string(o) + " before the boot loader woke up");
                return;
            }
            ++boot_chars_;
            if (c_.boot_silent) {
                silent();
            } else if (c_.boot_wrong) {
                send(c_.wake);
            } else if (boot_chars_ >= c_.wake_after) {
                awake_ = true;
                std::vector<uint8_t> answer = c_.wake;
                answer.insert(answer.end(), c_.stray.begin(), c_.stray.end());
                send(answer);
            }
            return;
        }
        if (mute_)
            return;
        // A boot character the program sent before our answer reached it
        // (its read gave up first) is still a boot character, not flash data.
        if (o == 'U' && blocks_.empty() && current_.empty() &&
            (!have_image_ || expected_.empty() || expected_[0].empty() || expected_[0][0] != 'U')) {
            ++late_boot_chars_;
            return;
        }
        current_.push_back(o);
        if (have_image_) {
            size_t index = blocks_.size();
            if (index >= expected_.size()) {
                violation("octets after the last block of the image");
                mute_ = true;
                return;
            }
            if (current_.size() == expected_[index].size())
                finish_block();
            else
                rearm_gap(2000ms); // the pty may hold a writer back for a while
        } else {
            rearm_gap(20ms);
        }
    }

    void rearm_gap(std::chrono::milliseconds gap)
    {
        if (gap_timer_ != 0)
            loop_.cancel(gap_timer_);
        gap_timer_ = loop_.after(gap, [this] {
            gap_timer_ = 0;
            if (!current_.empty())
                finish_block();
        });
    }

    void finish_block()
    {
        if (gap_timer_ != 0) {
            loop_.cancel(gap_timer_);
            gap_timer_ = 0;
        }
        std::vector<uint8_t> block;
        block.swap(current_);
        size_t number = blocks_.size() + 1;
        bool good = true;
        if (have_image_) {
            const auto &want = expected_[number - 1];
            if (block.size() != want.size()) {
                violation("block " + std::to_string(number) + ": " + std::to_string(block.size()) +
                          " octets, its header gives " + std::to_string(want.size()));
                good = false;
            } else if (block != want) {
                violation("block " + std::to_string(number) + " differs from the image");
            }
        }
        if (save_ != nullptr) {
            std::fwrite(block.data(), 1, block.size(), save_);
            std::fflush(save_);
        }
        blocks_.push_back(std::move(block));
        const Fault &f = c_.fault;
        if (f.kind == Fault::silent && static_cast<long>(number) >= f.block) {
            silent();
        } else if (!good || (f.kind == Fault::nack && static_cast<long>(number) == f.block)) {
            send({0xB5});
        } else if (f.kind == Fault::octet && static_cast<long>(number) == f.block) {
            send({f.value});
        } else {
            send({c_.ack});
        }
    }

    void silent()
    {
        mute_ = true;
        if (c_.hangup_after >= 0 && hangup_timer_ == 0)
            hangup_timer_ = loop_.after(std::chrono::milliseconds(c_.hangup_after), [this] { hang_up(); });
    }

    void send(std::vector<uint8_t> octets)
    {
        if (master_ < 0)
            return;
        // Paced: the reply leaves once the octets before it would have.
        if (write(master_, octets.data(), octets.size()) != static_cast<ssize_t>(octets.size()))
            violation("reply could not be delivered: the program does not read the line");
    }

    // The device goes off the line: the program's reads end with nothing.
    void hang_up()
    {
        if (master_ < 0)
            return;
        loop_.unwatch(master_);
        close(slave_keep_);
        close(master_);
        master_ = slave_keep_ = -1;
    }

    vboard::Loop &loop_;
    Config c_;
    std::string link_;
    int master_ = -1, slave_keep_ = -1;
    FILE *save_ = nullptr;
    bool have_image_ = false, awake_ = false, mute_ = false, line_checked_ = false;
    long boot_chars_ = 0, late_boot_chars_ = 0;
    uint64_t octets_ = 0;
    std::vector<std::vector<uint8_t>> expected_, blocks_;
    std::vector<uint8_t> current_;
    std::vector<std::string> violations_;
    vboard::Loop::TimerId gap_timer_ = 0, hangup_timer_ = 0;
    Clock::time_point credit_time_{};
};

} // namespace

int main(int argc, char **argv)
{
    return vboard::emulator_main("vboard-bootloader", [&](vboard::Loop &loop, const std::string &root) {
        BootLoader device(loop, root, parse(argc, argv));
        vboard::ControlServer ctl(loop, root, "bootloader",
                                  [&](const std::vector<std::string> &w) { return device.control(w); });
        vboard::serve(loop);
    });
}
