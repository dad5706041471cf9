#include "vboard/escape.h"

#include <cstdio>
#include <stdexcept>

namespace vboard
{

std::string unescape(const std::string &in)
{
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\' || i + 1 == in.size()) {
            out += in[i];
            continue;
        }
        const char c = in[++i];
        switch (c) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 's':
            out += ' ';
            break;
        case '\\':
            out += '\\';
            break;
        case 'x':
            if (i + 2 >= in.size())
                throw std::runtime_error("short \\x escape");
            out += static_cast<char>(std::stoi(in.substr(i + 1, 2), nullptr, 16));
            i += 2;
            break;
        default:
            throw std::runtime_error(std::string("unknown escape \\") + c);
        }
    }
    return out;
}

std::string escape(const std::string &in)
{
    std::string out;
    for (unsigned char c : in) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == ' ') {
            out += "\\s";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace vboard
