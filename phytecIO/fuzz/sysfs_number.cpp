// Number texts of the sysfs attribute files as the library reads them (at
// most 20 octets, NUL-terminated): the result is strtoll's (64 bits on the
// unit and the desktop alike), text after the digits changes nothing, and
// nothing is read past the terminator.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "phytecIO.h"

static void check(bool ok)
{
    if (!ok) {
        abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size < 20 ? size : 20);
    char *exact = strdup(text.c_str()); // exactly the text and its NUL
    const char *p = exact + strspn(exact, " \t\n\v\f\r");
    p += (*p == '+' || *p == '-') ? 1 : 0;
    errno = 0;
    const long long expected = strtoll(exact, nullptr, 10);
    const bool number = *p >= '0' && *p <= '9' && errno != ERANGE;
    int64_t got = 0, again = 0;
    check(phytecIO_parseDecimal(exact, &got) == number);
    if (number) {
        const std::string longer =
            std::string(exact, strspn(p, "0123456789") + static_cast<size_t>(p - exact)) + "x9";
        check(got == expected && phytecIO_parseDecimal(longer.c_str(), &again) && again == got);
    }
    free(exact);
    return 0;
}
