// Number texts of the sysfs attribute files (debounce, temperature, analog
// inputs) as the library reads them: at most 20 octets, NUL-terminated.
// The result must be the one a 64-bit strtoll gives on every build, and
// must not depend on anything after the digits; nothing is read past the
// text's end.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "phytecIO.h"

namespace
{

void check(bool ok)
{
    if (!ok) {
        abort();
    }
}

// The reference: strtoll (64 bits on the unit and the desktop alike), with
// a digit required after the blanks and the sign.
bool reference(const char *text, int64_t *value)
{
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    if (*p == '+' || *p == '-') {
        ++p;
    }
    if (*p < '0' || *p > '9') {
        return false;
    }
    errno = 0;
    const long long v = strtoll(text, nullptr, 10);
    if (errno == ERANGE) {
        return false;
    }
    *value = v;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const size_t length = size < 20 ? size : 20;
    // Exactly the octets read and the terminator: a read beyond is caught.
    std::vector<char> text(data, data + length);
    text.push_back('\0');
    int64_t got = 0, expected = 0;
    const bool ok = phytecIO_parseDecimal(text.data(), &got);
    check(ok == reference(text.data(), &expected));
    if (!ok) {
        return 0;
    }
    check(got == expected);
    // Whatever follows the number does not change it.
    const size_t end = strlen(text.data());
    std::vector<char> longer(text.begin(), text.begin() + static_cast<long>(end));
    longer.insert(longer.end(), {'x', '9', '\0'});
    int64_t again = 0;
    check(phytecIO_parseDecimal(longer.data(), &again) && again == got);
    return 0;
}
