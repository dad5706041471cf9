// What the daemon logged (standard output) during one call, for the unit
// test fixtures.
#pragma once

#include "log.h"

#include <gtest/gtest.h>

#include <string>

struct LogCapture {
    std::string log;

    template <typename F> auto logged(F fn)
    {
        log_forget();
        testing::internal::CaptureStdout();
        auto rc = fn();
        log = testing::internal::GetCapturedStdout();
        return rc;
    }
    void expect_log(const std::string &text) { EXPECT_NE(log.find(text + "\n"), std::string::npos) << log; }
};
