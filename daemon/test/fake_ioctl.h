// The test binary's ioctl: requests on FAKE_FD are recorded (and answered
// with a chosen result); every other descriptor goes to the real call.
#pragma once

#include <cstdint>
#include <vector>

constexpr int FAKE_FD = 1000;

struct ioctl_call {
    unsigned long request;
    std::vector<uint8_t> data; // the argument's octets for sized requests
    unsigned long value;       // the argument itself
};

struct fake_ioctl_state {
    std::vector<ioctl_call> calls;
    int result = 0;
    int error = 0;                  // errno when result < 0
    int fail_after = -1;            // calls from this index on fail with error
    std::vector<uint8_t> read_data; // what a sized read request returns
    int outq = 0;                   // what TIOCOUTQ reports
};

fake_ioctl_state &fake_ioctl();
