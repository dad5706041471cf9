#include "comm.h"

#include <termios.h>

int COMM_getSpeed(int rate)
{
    struct Entry {
        int rate;
        speed_t code;
    };
    static constexpr Entry table[] = {
        {0, B0},         {50, B50},       {75, B75},         {110, B110},       {134, B134},
        {150, B150},     {200, B200},     {300, B300},       {600, B600},       {1200, B1200},
        {1800, B1800},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
        {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
    };
    for (const Entry &entry : table) {
        if (entry.rate == rate) {
            return static_cast<int>(entry.code);
        }
    }
    return -1;
}
