// The simulated Telit modem: the AT command phase and the responding side
// of the 27.010 basic-option multiplexer. Pure logic: octets from the DTE
// come in through receive(), octets to the DTE leave through the send
// callback, and whatever a test or a person may want to know is reported
// as one-line events.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace telitsim
{

// 27.010 FCS, computed bit by bit from the generator (no table).
uint8_t fcs(std::span<const uint8_t> covered);

enum class DataMode { loopback, sink, at };

struct Faults {
    bool no_ua = false;   // SABM and DISC go unanswered
    bool refuse = false;  // SABM answered with DM
    bool no_test = false; // TEST commands go unanswered
    int bad_fcs = 0;      // the next n frames carry a wrong FCS
    int bad_flag = 0;     // the next n frames start with a wrong flag
};

class Modem
{
  public:
    std::function<void(std::span<const uint8_t>)> send;
    std::function<void(const std::string &)> event;
    // Runs fn after ms milliseconds (slow answers); immediate when unset.
    std::function<void(int ms, std::function<void()>)> later;

    // AT phase
    bool echo = true;
    bool silent_first_at = false;
    int answer_delay_ms = 0;
    std::set<std::string> failing; // commands answered with ERROR
    bool silent = false;           // answers nothing at all
    // Reads on while answers are due and answers every command on its own
    // clock (a command buffer); otherwise a late answer holds the next
    // command back until it is out.
    bool keep_reading = false;

    // Multiplexer
    DataMode modes[5] = {DataMode::loopback, DataMode::loopback, DataMode::loopback, DataMode::loopback,
                         DataMode::loopback};
    size_t split = 0;            // loopback answers in frames of this size (0: as received)
    bool msc_as_command = true; // own status as a command (C/R = 1), as 27.010 wants
    Faults faults;

    // What a real responder does (on by default where it does it).
    std::map<std::string, int> late;             // per command: its first answer after this many ms
    std::map<std::string, std::string> unsolicited; // after the answer to a command, a line of its own
    bool swallow_after_cmux = true; // octets behind "AT+CMUX=0\r" in the same read are AT text
    bool msc_after_ua = true;       // MSC 0x01, then 0x0D for each DLCI after its UA
    bool msc_unopened = true;       // and 0x01 for the DLCIs not opened, after DLCI 0's UA
    int t2_ms = 350;                // unanswered commands are sent again after this
    int lose_sabm = 0;              // the first N SABMs are lost
    size_t fc_after = 0;            // FC for a DLCI after this many octets received on it (0: never)
    int fc_hold_ms = 50;            // ... released after this long
    bool shared_flag = false;       // one flag between frames sent back to back
    // Violations of 27.010 and of the unit's interface by the DTE.
    std::vector<std::string> violations;

    void receive(std::span<const uint8_t> data);
    void set_dtr(bool on);

    // From the control interface.
    bool in_mux() const { return mux_; }
    bool open(int dlci) const { return dlci >= 0 && dlci <= 4 && open_[dlci]; }
    bool send_data(int dlci, std::span<const uint8_t> data);
    bool send_status(int dlci, uint8_t v24, bool with_break);
    void send_raw(std::span<const uint8_t> data) { emit(data); }
    // Line noise: about n octets, a UIH frame with a wrong FCS and junk.
    void send_noise(size_t n);
    // A line of the modem's own in command mode ("RING", "+CREG: 1").
    void say(const std::string &text);
    // A frame whose length field claims more than any frame may carry.
    void send_oversize();
    void close_down(); // leaves multiplexer mode (as after CLD)
    // Commands of the modem's own.
    bool send_disc(int dlci);
    bool send_dm(int dlci, bool final);
    bool send_test(std::span<const uint8_t> pattern);
    bool send_flow(bool on); // FCon / FCoff
    bool send_uih_cr(int dlci, std::span<const uint8_t> data); // UIH with address C/R = 1
    bool set_fc(int dlci, bool on);
    size_t unanswered() const
    {
        size_t n = 0;
        for (const Pending &p : pending_)
            n += !p.answered;
        return n;
    }
    bool sleeping() const { return sleeping_; }
    uint8_t dte_status(int dlci) const { return dte_v24_[dlci]; }
    uint64_t received(int dlci) const { return rx_[dlci]; }
    uint64_t sent(int dlci) const { return tx_[dlci]; }
    std::string stats() const;

  private:
    void at_octet(uint8_t c);
    void at_line(const std::string &line);
    void answer(const std::string &text);
    void answer_for(const std::string &command, const std::string &text, std::function<void()> then);
    void mux_octet(uint8_t c);
    void frame(uint8_t address, uint8_t control, std::vector<uint8_t> info);
    void control_message(const std::vector<uint8_t> &info);
    void data(int dlci, const std::vector<uint8_t> &info);
    void emit(std::span<const uint8_t> data);
    void emit_frame(int dlci, bool cr, uint8_t control, std::span<const uint8_t> info);
    void report(const std::string &text);
    void violation(const std::string &text);
    // A control message command that waits for its response; sent again
    // every T2 until answered.
    uint64_t command(const std::vector<uint8_t> &message);
    void resend(uint64_t id);
    uint64_t msc_command(int dlci, uint8_t v24);
    struct Pending {
        uint64_t id;
        std::vector<uint8_t> message;
        int repeats = 0;       // times sent again: each copy may get its answer
        bool answered = false; // no more repeats; later answers are to the copies
    };
    std::vector<Pending> pending_;
    // A late answer is outstanding: like a real modem, this one reads the
    // next command only after it (and a switch it makes decides how).
    bool busy_ = false;
    std::vector<uint8_t> unread_;
    uint64_t next_id_ = 1;
    bool fc_[5] = {};          // FC we set for the DTE's data
    bool fc_acked_[5] = {};    // the DTE has answered that MSC: no data from now on
    uint64_t fc_command_[5] = {}; // the MSC that set FC
    bool fc_all_ = false;      // FCoff sent
    bool fc_all_acked_ = false;
    uint64_t since_fc_[5] = {};
    int sabms_seen_ = 0;
    uint64_t fc_set_ = 0; // times FC was set for a DLCI
    bool cmux_switch_ = false;
    uint8_t last_out_ = 0;
    bool mux_ = false;
    bool closing_ = false; // just left the multiplexer
    bool sleeping_ = false;
    bool dtr_ = true;
    bool at_seen_ = false;
    std::string line_;
    // The command whose answer the DTE waits for, and whether one went out:
    // a different command before it means an answer was taken for another.
    std::string last_command_;
    bool last_answered_ = true;
    uint32_t noise_seed_ = 1;
    std::vector<uint8_t> rx_frame_;
    bool open_[5] = {};
    uint8_t dte_v24_[5] = {};
    uint64_t rx_[5] = {};
    uint64_t tx_[5] = {};
    uint64_t bad_frames_ = 0;
    uint64_t discarded_ = 0;
    std::string at_buffers_[5]; // AT-mode channels: the line so far
};

} // namespace telitsim
