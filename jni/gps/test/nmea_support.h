// Test helpers: sentences with their checksum, computed here on their own.
#pragma once

#include <string>

// "$" + body + "*" + two upper-case hexadecimal digits.
std::string sentence(const std::string &body);
