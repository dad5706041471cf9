// Octets in the words of scripts and control commands, and in the lines
// emulators print: \n \r \t \s (space) \\ and \xHH stand for octets a word
// cannot hold.
#pragma once

#include <string>

namespace vboard
{

// The octets a word stands for; std::runtime_error on a short \x or an
// unknown escape. A backslash at the very end stands for itself.
std::string unescape(const std::string &word);
// The word for some octets: CR, LF, space and backslash by name, other
// control octets and those above 0x7E as \xHH.
std::string escape(const std::string &octets);

} // namespace vboard
