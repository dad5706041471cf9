#include "canraise.h"

#include <cstring>

#include "jnu.h"

namespace
{

constexpr const char *kIOException = "java.io.IOException";
constexpr const char *kIllegalState = "java.lang.IllegalStateException";
constexpr const char *kIllegalArgument = "java.lang.IllegalArgumentException";
constexpr const char *kCANBusException = "de.zavrio.quilmar.io.can.CANBusException";

struct Raised {
    CanRaise what;
    const char *className;
    const char *text; // nullptr: the C library's text for the error number
};

// The application's code matches these texts: their spelling stays.
constexpr Raised kRaised[] = {
    {CanRaise::OpenFailed, kIOException, "cannot open can device"},
    {CanRaise::NoFilterArray, kIllegalState, "filterArray is not initilized"},
    {CanRaise::TooManyFilters, kIllegalState, "filter array too long"},
    {CanRaise::FilterCopy, kIllegalState, "problem during copy filter"},
    {CanRaise::BulkSizes, kIllegalArgument, "Send array an receive array not the same size"},
    {CanRaise::BulkNullElement, kIllegalArgument, "null element in send or receive array"},
    {CanRaise::BulkMaxRetry, kCANBusException, "Max Retry by send messages"},
    {CanRaise::MessageNull, kIllegalArgument, "message is null"},
    {CanRaise::TransmitTimedOut, kIOException, "transmit timed out"},
    {CanRaise::DeviceError, kIOException, nullptr},
    {CanRaise::CommandError, kCANBusException, nullptr},
};

static_assert(sizeof kRaised / sizeof kRaised[0] == static_cast<size_t>(CanRaise::CommandError) + 1);

constexpr bool tableInOrder()
{
    for (size_t i = 0; i < sizeof kRaised / sizeof kRaised[0]; ++i) {
        if (static_cast<size_t>(kRaised[i].what) != i) {
            return false;
        }
    }
    return true;
}
static_assert(tableInOrder(), "kRaised is indexed by CanRaise");

} // namespace

void CAN_raise(JNIEnv *env, CanRaise what, int error)
{
    const Raised &r = kRaised[static_cast<size_t>(what)];
    JNU_ThrowByName(env, r.className, r.text != nullptr ? r.text : strerror(error));
}
