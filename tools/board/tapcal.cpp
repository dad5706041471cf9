// tapcal [input device] [output pipe]: the calibrated touch samples of
// tapprobe, without the commentary, for a process that reads them.
#include "touch.h"

int main(int argc, char **argv)
{
    return touch_main(argc, argv, false);
}
