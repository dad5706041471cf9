// pmicsim: a simulated power-management controller on the master side of a
// pseudo-terminal. It speaks the controller's side of the serial protocol:
// command frames (preamble, word, check code, CR LF) answered with a three
// digit code line, and, inside its in-application programmer, the signature
// line and the Intel HEX records, each record echoed back. It builds the
// flash from the records it receives, computes the sector signatures itself
// and compares them with those it was sent.
//
//   pmicsim --link PATH [--state pm|iap] [--image FILE] [--log FILE]
//           [--fault NAME[@N]]...
//
// PATH becomes a symbolic link to the pty slave once the controller listens.
// The log gets one line per event, written before the answer goes out.
// Faults: iap-silent, iap-wrong, iap-late (the answer to IAP 2.5 s late),
// iap-noise (a stray octet before it), ping-wrong, strt-wrong, crc-wrong,
// echo-wrong@N, echo-short@N, echo-control@N (an octet of the echo replaced
// by BEL) (record N, default 1), silence@N and hangup@N
// (on receiving record N; N = 0: on the first frame). A frame whose check
// code or line end is wrong is answered "901".
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

constexpr unsigned char kPreamble[8] = {0x51, 0xC5, 0x37, 0x31, 0x56, 0x6B, 0x72, 0x0D};
constexpr size_t kFrameLength = 18;
constexpr size_t kFlashSize = 16 * 1024;
constexpr size_t kSectorSize = 2 * 1024;
constexpr size_t kPageSize = 64;
constexpr size_t kSignatureArea = 0x3000 - 24;

enum class State { firmware, programmer, expect_signatures, expect_records };

struct Options {
    std::string link;
    std::string image;
    std::string log;
    State state = State::firmware;
    std::map<std::string, long> faults;
};

[[noreturn]] void die(const std::string &what)
{
    std::cerr << "pmicsim: " << what << ": " << std::strerror(errno) << "\n";
    std::exit(2);
}

Options parse_options(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                throw std::runtime_error(arg + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "--link") {
            o.link = value();
        } else if (arg == "--image") {
            o.image = value();
        } else if (arg == "--log") {
            o.log = value();
        } else if (arg == "--state") {
            std::string s = value();
            if (s != "pm" && s != "iap") {
                throw std::runtime_error("unknown state " + s);
            }
            o.state = s == "pm" ? State::firmware : State::programmer;
        } else if (arg == "--fault") {
            std::string f = value();
            long at = 1;
            if (auto pos = f.find('@'); pos != std::string::npos) {
                at = std::stol(f.substr(pos + 1));
                f = f.substr(0, pos);
            }
            static const char *known[] = {"iap-silent", "iap-wrong",  "iap-late",     "iap-noise",
                                          "ping-wrong", "strt-wrong", "crc-wrong",    "echo-wrong",
                                          "echo-short", "echo-control", "silence",    "hangup"};
            bool ok = false;
            for (const char *k : known) {
                ok = ok || f == k;
            }
            if (!ok) {
                throw std::runtime_error("unknown fault " + f);
            }
            o.faults[f] = at;
        } else {
            throw std::runtime_error("unknown argument " + arg);
        }
    }
    if (o.link.empty()) {
        throw std::runtime_error("--link is required");
    }
    return o;
}

// Check code as the controller verifies it: seed 0x3C, each octet chained to
// the previous code octet turned right by one bit.
std::array<unsigned char, 4> expected_check(const unsigned char *word)
{
    std::array<unsigned char, 4> check{};
    unsigned prev = 0x3C;
    for (int i = 0; i < 4; ++i) {
        unsigned turned = (i == 0) ? prev : (((prev & 1u) << 7) | (prev >> 1));
        check[i] = static_cast<unsigned char>(word[i] ^ turned);
        prev = check[i];
    }
    return check;
}

// The signature register: octet bits go to register bits 0,3,5,8,10,13,16,18;
// the register shifts left with feedback 0x00400007 from its top bit.
uint32_t signature(const unsigned char *p, size_t n)
{
    static const int spread[8] = {0, 3, 5, 8, 10, 13, 16, 18};
    uint32_t reg = 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t in = 0;
        for (int b = 0; b < 8; ++b) {
            in |= static_cast<uint32_t>((p[i] >> b) & 1u) << spread[b];
        }
        const bool top = (reg >> 31) != 0;
        reg <<= 1;
        if (top) {
            reg ^= 0x00400007u;
        }
        reg ^= in;
    }
    return reg;
}

int nibble(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::vector<unsigned char>> hex_octets(const std::string &s)
{
    if (s.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<unsigned char> out;
    for (size_t i = 0; i < s.size(); i += 2) {
        int hi = nibble(s[i]);
        int lo = nibble(s[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<unsigned char>(hi * 16 + lo));
    }
    return out;
}

class Controller
{
  public:
    Controller(Options options, int master, int slave)
        : opt_(std::move(options)), master_(master), slave_(slave), state_(opt_.state)
    {
        if (!opt_.log.empty()) {
            log_.open(opt_.log, std::ios::app);
        }
        flash_.assign(kFlashSize, 0);
    }

    void run()
    {
        std::string in;
        for (;;) {
            while (step(in)) {
            }
            char buf[256];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                log("line-closed");
                return;
            }
            in.append(buf, static_cast<size_t>(n));
        }
    }

  private:
    bool fault(const std::string &name) const { return opt_.faults.count(name) != 0; }
    long fault_at(const std::string &name) const { return opt_.faults.at(name); }

    void log(const std::string &line)
    {
        if (log_.is_open()) {
            log_ << line << std::endl;
        }
    }

    void answer(const std::string &text)
    {
        if (silent_) {
            return;
        }
        std::string line = text + "\r\n";
        const char *p = line.data();
        size_t left = line.size();
        while (left > 0) {
            ssize_t n = write(master_, p, left);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
    }

    void hang_up()
    {
        log("hangup");
        close(master_);
        close(slave_);
        unlink(opt_.link.c_str());
        std::exit(0);
    }

    // Consumes one unit of input (a frame or a line); false when more input is needed.
    bool step(std::string &in)
    {
        size_t skip = 0;
        while (skip < in.size() && (in[skip] == '\0' || in[skip] == '\r' || in[skip] == '\n')) {
            ++skip;
        }
        in.erase(0, skip);
        if (in.empty()) {
            return false;
        }
        if (static_cast<unsigned char>(in[0]) == kPreamble[0]) {
            if (in.size() < kFrameLength) {
                return false;
            }
            const auto *f = reinterpret_cast<const unsigned char *>(in.data());
            const auto check = expected_check(f + 8);
            if (std::memcmp(f, kPreamble, 8) != 0) {
                log("garbage-octet");
                in.erase(0, 1);
                return true;
            }
            if (std::memcmp(f + 12, check.data(), 4) != 0 || f[16] != '\r' || f[17] != '\n') {
                log("bad-frame");
                in.erase(0, kFrameLength);
                answer("901 bad frame");
                return true;
            }
            std::string word(reinterpret_cast<const char *>(f + 8), 4);
            in.erase(0, kFrameLength);
            word.erase(word.find_last_not_of('\0') + 1);
            command(word);
            return true;
        }
        const size_t lf = in.find('\n');
        if (lf == std::string::npos) {
            return false;
        }
        std::string line = in.substr(0, lf);
        in.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (state_ == State::expect_signatures) {
            signatures(line);
        } else if (state_ == State::expect_records && line[0] == ':') {
            record(line);
        } else {
            log("garbage " + line);
        }
        return true;
    }

    void command(const std::string &word)
    {
        log("frame " + word);
        if (fault("silence") && fault_at("silence") == 0) {
            silent_ = true;
        }
        if (fault("hangup") && fault_at("hangup") == 0) {
            hang_up();
        }
        const bool in_programmer = state_ != State::firmware;
        if (word == "ping") {
            answer(fault("ping-wrong") ? "602" : in_programmer ? "601" : "600");
        } else if (word == "IAP") {
            state_ = State::programmer;
            if (fault("iap-wrong")) {
                answer("402");
            } else if (fault("iap-late")) {
                // Busy restarting: what arrives meanwhile waits in the line.
                std::this_thread::sleep_for(std::chrono::milliseconds(2500));
                answer("401");
            } else if (fault("iap-noise")) {
                answer("\x7f" "401");
            } else if (!fault("iap-silent")) {
                answer("401");
            }
        } else if (word == "STRT") {
            if (!in_programmer) {
                answer("501 not in programmer");
            } else if (fault("strt-wrong")) {
                answer("800");
            } else {
                state_ = State::expect_signatures;
                received_ = 0;
                flash_.assign(kFlashSize, 0);
                answer("801");
            }
        } else if (word == "r" || word == "R") {
            if (state_ == State::expect_records) {
                finish();
            }
            state_ = State::firmware;
            answer("200");
        } else {
            answer("200");
        }
    }

    void signatures(const std::string &line)
    {
        auto octets = hex_octets(line);
        if (!octets || octets->size() != 24) {
            log("crc-format-error " + line);
            answer("902 bad signature line");
            return;
        }
        sent_.clear();
        for (size_t i = 0; i < 6; ++i) {
            const unsigned char *p = octets->data() + 4 * i;
            sent_.push_back(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]);
        }
        log("crc " + line);
        state_ = State::expect_records;
        answer(fault("crc-wrong") ? "804" : "802");
    }

    void record(const std::string &line)
    {
        ++received_;
        log("record " + std::to_string(received_) + " " + line);
        if (fault("hangup") && fault_at("hangup") == received_) {
            hang_up();
        }
        if (fault("silence") && fault_at("silence") == received_) {
            log("silent");
            silent_ = true;
        }
        auto octets = hex_octets(line.substr(1));
        unsigned sum = 0;
        if (octets) {
            for (unsigned char o : *octets) {
                sum += o;
            }
        }
        if (!octets || octets->size() < 5 || octets->size() != size_t{(*octets)[0]} + 5u ||
            (sum & 0xFF) != 0) {
            log("bad-record");
            answer("903 bad record");
            return;
        }
        const auto &o = *octets;
        const size_t length = o[0];
        const size_t address = size_t{o[1]} << 8 | o[2];
        if (o[3] == 0x00) {
            // One record is written into one flash page; what would cross it is not.
            const size_t n = std::min(length, kPageSize - address % kPageSize);
            if (address + n > kFlashSize) {
                answer("905 address beyond flash");
                return;
            }
            std::copy(o.begin() + 4, o.begin() + 4 + static_cast<long>(n),
                      flash_.begin() + static_cast<long>(address));
        } else if (o[3] != 0x01) {
            answer("906 record type");
            return;
        }
        std::string echo = line;
        if (fault("echo-wrong") && fault_at("echo-wrong") == received_) {
            echo[echo.size() / 2] = echo[echo.size() / 2] == '0' ? '1' : '0';
        }
        if (fault("echo-control") && fault_at("echo-control") == received_) {
            echo[echo.size() / 2] = '\a';
        }
        if (fault("echo-short") && fault_at("echo-short") == received_) {
            echo.resize(echo.size() - 2);
        }
        answer("803 " + echo);
    }

    // After the last record: the signatures over what was written, the
    // earlier ones stored in sector 5 as each is taken, against those sent.
    void finish()
    {
        bool match = true;
        for (size_t s = 0; s < 6; ++s) {
            const uint32_t mine = signature(flash_.data() + s * kSectorSize, kSectorSize);
            const uint32_t theirs = s < sent_.size() ? sent_[s] : 0;
            if (mine != theirs) {
                char text[80];
                std::snprintf(text, sizeof text, "signature-mismatch sector %zu sent %08x computed %08x", s,
                              static_cast<unsigned>(theirs), static_cast<unsigned>(mine));
                log(text);
                match = false;
            }
            unsigned char *p = flash_.data() + kSignatureArea + 4 * s;
            p[0] = static_cast<unsigned char>(theirs >> 24);
            p[1] = static_cast<unsigned char>(theirs >> 16);
            p[2] = static_cast<unsigned char>(theirs >> 8);
            p[3] = static_cast<unsigned char>(theirs);
        }
        for (size_t s = 6; s < 8; ++s) {
            if (signature(flash_.data() + s * kSectorSize, kSectorSize) != 0) {
                log("programmer-overwritten");
                match = false;
            }
        }
        if (match) {
            log("signatures match");
        }
        if (!opt_.image.empty()) {
            const std::string tmp = opt_.image + ".tmp";
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char *>(flash_.data()), static_cast<long>(flash_.size()));
            out.close();
            std::rename(tmp.c_str(), opt_.image.c_str());
        }
        log("reset " + std::to_string(received_) + " records");
    }

    Options opt_;
    int master_;
    int slave_;
    State state_;
    std::ofstream log_;
    std::vector<unsigned char> flash_;
    std::vector<uint32_t> sent_;
    long received_ = 0;
    bool silent_ = false;
};

} // namespace

int main(int argc, char **argv)
{
    Options options;
    try {
        options = parse_options(argc, argv);
    } catch (const std::exception &e) {
        std::cerr << "pmicsim: " << e.what() << "\n";
        return 2;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        die("posix_openpt");
    }
    const char *name = ptsname(master);
    if (name == nullptr) {
        die("ptsname");
    }
    // Holding the slave open keeps the master readable between tool runs.
    const int slave = open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        die(std::string("open ") + name);
    }
    termios tio{};
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
    }
    unlink(options.link.c_str());
    if (symlink(name, options.link.c_str()) != 0) {
        die("symlink " + options.link);
    }
    Controller controller(options, master, slave);
    controller.run();
    return 0;
}
