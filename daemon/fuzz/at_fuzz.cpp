// The modem's answers during the AT exchange. The first octet picks the
// command; the rest is what the modem says.
#include "memory_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const commands[] = {nullptr, "AT", "AT+CMUX=0", "ATE0V1&K3&D2"};
    if (size == 0)
        return 0;
    memory_line line{data + 1, size - 1, 0, 0};
    serport *port = memory_port(line);
    const char *command = commands[data[0] % 4];
    while (line.pos < line.size) {
        size_t before = line.pos;
        at_command(port, command, "OK", 100);
        if (line.pos == before)
            break;
    }
    return 0;
}
