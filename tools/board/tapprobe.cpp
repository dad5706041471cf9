// tapprobe [input device] [output pipe]: the touch screen test. Prints every
// input event and every calibrated sample it writes to the output.
#include "touch.h"

int main(int argc, char **argv)
{
    return touch_main(argc, argv, true);
}
