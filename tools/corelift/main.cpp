// corelift: loads a firmware image into the Telit modem through its serial
// boot loader.
#include "telit.h"

#include <cstdio>

int main(int argc, char **argv)
{
    std::printf("corelift 1.1-dev ($Rev: 18671 $)\n");
    std::printf("argc:%d\n", argc);
    if (argc < 3)
        std::printf("\ncorelift serialPort firmwareFilename [productName]\n");
    else
        telit_updateFirmware(argv[1], argv[2], argc == 4 ? argv[3] : nullptr);
    std::printf("\n");
    return 0;
}
