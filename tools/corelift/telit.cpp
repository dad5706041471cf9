#include "telit.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace
{

constexpr const char *kRule = "-----------------------------------";

// Boot loaders that wake up with the single octet 0xA0.
constexpr const char *kSingleOctetProducts[] = {
    "GM862-GPS",  "GM862-QUAD-PY", "GM862-QUAD",   "GC864-QUAD", "GC864-PY",   "GC864-QUAD-C2", "GC864-PY-C2",
    "GE863-GPS",  "SIRF",          "GE863_GPS",    "GE863-PY",   "GE863-QUAD", "GE863-PRO3",    "GE864-PY",
    "GE864-QUAD", "UC864-E",       "UC864-E-DUAL", "UC864-G",    "UC864-WD",   "UC864-WDU",     "CC864-DUAL"};
// Boot loaders that wake up with 0x92 0x00 0x00.
constexpr const char *kThreeOctetProducts[] = {"GM864-QUAD V2", "GE864-V2", "GC864-V2", "GM864-DUAL V2"};

uint16_t u16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t u32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool terminated(const unsigned char *field)
{
    return std::memchr(field, 0, TELIT_TEXT_FIELD) != nullptr;
}

void sleep_ms(long ms)
{
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

} // namespace

const char *corelift_decodeHeader(TelitContext *ctx, const unsigned char *octets, size_t count,
                                  uint64_t fileSize, char *error, size_t errorSize)
{
    if (count < TELIT_HEADER_FIELDS) {
        std::snprintf(error, errorSize, "\nfirmware header too short: %zu of %zu Byte\n", count,
                      TELIT_HEADER_FIELDS);
        return error;
    }
    if (!terminated(octets + 2)) {
        std::snprintf(error, errorSize, "\nfirmware header: Software Version has no end within %zu Byte\n",
                      TELIT_TEXT_FIELD);
        return error;
    }
    if (!terminated(octets + 34)) {
        std::snprintf(error, errorSize, "\nfirmware header: Product Name has no end within %zu Byte\n",
                      TELIT_TEXT_FIELD);
        return error;
    }
    uint16_t headerSize = u16(octets);
    if (headerSize < TELIT_HEADER_FIELDS) {
        std::snprintf(error, errorSize,
                      "\nfirmware header: HeaderSize %u Byte is smaller than the header (%zu Byte)\n",
                      headerSize, TELIT_HEADER_FIELDS);
        return error;
    }
    if (headerSize > fileSize) {
        std::snprintf(error, errorSize,
                      "\nfirmware header: HeaderSize %u Byte is beyond the end of the file (%llu Byte)\n",
                      headerSize, static_cast<unsigned long long>(fileSize));
        return error;
    }
    ctx->headerSize = headerSize;
    std::memcpy(ctx->softwareVersion, octets + 2, TELIT_TEXT_FIELD);
    std::memcpy(ctx->productName, octets + 34, TELIT_TEXT_FIELD);
    ctx->memoryType = u16(octets + 66);
    ctx->streamVersion = u16(octets + 68);
    ctx->speedOffset = u32(octets + 70);
    return nullptr;
}

void telit_parseHeader(TelitContext *ctx, FILE *file)
{
    unsigned char octets[TELIT_HEADER_FIELDS];
    size_t count = std::fread(octets, 1, sizeof octets, file);
    if (std::ferror(file))
        Exit("\ncannot read firmware file\n");
    struct stat st {
    };
    uint64_t fileSize = fstat(fileno(file), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    char error[160];
    if (const char *refused = corelift_decodeHeader(ctx, octets, count, fileSize, error, sizeof error))
        Exit(refused);
    if (std::fseek(file, ctx->headerSize, SEEK_SET) != 0)
        Exit("\ncannot seek to the first block\n");
    std::printf("%s\n", kRule);
    std::printf("HeaderSize: %d Byte\n", ctx->headerSize);
    std::printf("Software Version: %s\n", ctx->softwareVersion);
    std::printf("Product Name: %s\n", ctx->productName);
    std::printf("MemoryType: %d\n", ctx->memoryType);
    std::printf("StreamVersion: %d\n", ctx->streamVersion);
    std::printf("SpeedOffset: %d\n", static_cast<int>(ctx->speedOffset));
    std::printf("%s\n", kRule);
}

int corelift_bootPattern(const char *productName, unsigned char *pattern)
{
    for (const char *name : kSingleOctetProducts) {
        if (std::strcmp(productName, name) == 0) {
            pattern[0] = 0xA0;
            return 1;
        }
    }
    for (const char *name : kThreeOctetProducts) {
        if (std::strcmp(productName, name) == 0) {
            pattern[0] = 0x92;
            pattern[1] = 0x00;
            pattern[2] = 0x00;
            return 3;
        }
    }
    return 0;
}

void initModemBootACKChar(TelitContext *ctx, unsigned char *pattern, int *length)
{
    *length = corelift_bootPattern(ctx->productName, pattern);
    if (*length == 0)
        Exit("\nUnkown Product Name - cannot get boot ACK char\n");
}

void OpenSerialPort(TelitContext *ctx)
{
    std::printf("OpenSerialPort begin %s \n", ctx->serialPort);
    ctx->fd = open(ctx->serialPort, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (ctx->fd < 0)
        Exit("\ncannot open serial port\n");
    // Opened without waiting for carrier; from here on reads wait (VTIME).
    fcntl(ctx->fd, F_SETFL, 0);
    termios t{};
    // Something that is not a terminal (a plain file) is no serial port.
    if (tcgetattr(ctx->fd, &t) != 0)
        Exit("\ncannot open serial port\n");
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
    t.c_cflag |= CS8;
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 1;
    if (tcsetattr(ctx->fd, TCSANOW, &t) != 0)
        Exit("\ncannot open serial port\n");
}

int WaitForAckChar(TelitContext *ctx, int vtime, int tries,
                   int (*check)(TelitContext *, const unsigned char *, int), int size)
{
    if (vtime > 1) {
        termios t{};
        if (tcgetattr(ctx->fd, &t) == 0) {
            t.c_cc[VTIME] = static_cast<cc_t>(vtime);
            tcsetattr(ctx->fd, TCSANOW, &t);
        }
    }
    unsigned char octets[4];
    if (size < 1 || size > static_cast<int>(sizeof octets))
        return 0;
    for (int attempt = 1; attempt < tries; ++attempt) {
        std::memset(octets, 0, sizeof octets);
        int count = static_cast<int>(read(ctx->fd, octets, static_cast<size_t>(size)));
        printTheTime();
        std::printf("WaitForAckChar: response: %i , readbytes: %i\n", octets[0], count);
        if (count == size)
            return check(ctx, octets, count);
    }
    return 0;
}

size_t DiscardPendingInput(TelitContext *ctx)
{
    size_t dropped = 0;
    tcflush(ctx->fd, TCIFLUSH);
    // Octets the driver had not yet queued when it was flushed (a line that
    // is no terminal cannot be flushed at all): taken while they are there.
    for (;;) {
        pollfd pfd{ctx->fd, POLLIN, 0};
        if (poll(&pfd, 1, 0) <= 0 || (pfd.revents & POLLIN) == 0)
            break;
        unsigned char scratch[64];
        ssize_t n = read(ctx->fd, scratch, sizeof scratch);
        if (n <= 0)
            break;
        dropped += static_cast<size_t>(n);
    }
    return dropped;
}

int isBootACKChar(TelitContext *ctx, const unsigned char *octets, int count)
{
    // Compared as text: the comparison ends at the first NUL, so 0x92 0x00
    // matches the three-octet pattern whatever the third octet is.
    return count == ctx->bootAckCharLength && std::strncmp(reinterpret_cast<const char *>(octets),
                                                           reinterpret_cast<const char *>(ctx->bootAckChar),
                                                           static_cast<size_t>(ctx->bootAckCharLength)) == 0;
}

int isBlockACKChar(TelitContext *, const unsigned char *octets, int)
{
    unsigned char c = octets[0];
    if (c == 0x01 || (c >= 0xA0 && c <= 0xA9))
        return 1;
    if (c == 0xB5)
        std::printf("\nERROR: NACK\n");
    else
        std::printf("\nWARNING: Byte read is not an Boot ACKCHAR %i\n", c);
    return 0;
}

void SendBootCharToModule(TelitContext *ctx)
{
    printTheTime();
    std::printf("SendBootCharToModule\n");
    const unsigned char boot = 'U';
    if (write(ctx->fd, &boot, 1) != 1)
        Exit("\nwrite error\n");
}

void SendBufferToModule(TelitContext *ctx, const unsigned char *data, int length)
{
    ssize_t sent = write(ctx->fd, data, static_cast<size_t>(length));
    printTheTime();
    std::printf("SendBufferToModule sent : %i, expected length: %i\n", static_cast<int>(sent), length);
    if (sent != length)
        Exit("\nwrite error\n");
}

void printTheTime()
{
    time_t now = time(nullptr);
    struct tm local {
    };
    char text[16] = "";
    if (localtime_r(&now, &local) != nullptr)
        strftime(text, sizeof text, "%H:%M:%S", &local);
    std::printf("%s - ", text);
}

void Exit(const char *message)
{
    std::fflush(stdout);
    std::fputs(message, stderr);
    std::exit(255);
}

void TurnOnModule()
{
    std::printf("\nTurnOnModule\n");
}

void TurnOffModule()
{
    std::printf("\nTurnOffModule\n");
}

void telit_updateFirmware(const char *serialPort, const char *firmwareFile, const char *productName)
{
    static TelitContext ctx;
    ctx.serialPort = serialPort;
    printTheTime();
    std::printf("Begin Modem Firmware Update. Serial port: %s, firmware: %s\n", serialPort, firmwareFile);
    FILE *file = std::fopen(firmwareFile, "rb");
    if (file == nullptr)
        Exit("\ncannot open firmware file\n");
    telit_parseHeader(&ctx, file);
    if (productName != nullptr) {
        if (std::strlen(productName) > TELIT_TEXT_FIELD - 1)
            Exit("\nproductName longer than 31 characters\n");
        std::printf("overwrite productName: %s to %s\n", ctx.productName, productName);
        std::memset(ctx.productName, 0, sizeof ctx.productName);
        std::strcpy(ctx.productName, productName);
    }
    initModemBootACKChar(&ctx, ctx.bootAckChar, &ctx.bootAckCharLength);
    printTheTime();
    std::printf("BootAckChar Used for Update: %s bootcharlengt: %i \n",
                reinterpret_cast<const char *>(ctx.bootAckChar), ctx.bootAckCharLength);
    OpenSerialPort(&ctx);
    sleep_ms(30);
    TurnOnModule();

    // Noise from before the handshake is no answer to it.
    DiscardPendingInput(&ctx);
    int counter = 500;
    for (;;) {
        if (--counter == 0)
            break;
        SendBootCharToModule(&ctx);
        if (WaitForAckChar(&ctx, 1, 2, isBootACKChar, ctx.bootAckCharLength))
            break;
    }
    if (counter == 0) {
        TurnOffModule();
        Exit("\nFirmware BootTimeout\n");
    }

    // A block is a u16 length L and L + 1 octets for the modem.
    static unsigned char block[65536];
    for (int number = 1; !std::feof(file); ++number) {
        unsigned char length[2];
        size_t got = std::fread(length, 1, sizeof length, file);
        if (std::ferror(file))
            Exit("\ncannot read firmware file\n");
        if (got == 0 && std::feof(file)) {
            printTheTime();
            std::printf("FileEnd  reached\n");
            break;
        }
        if (got != sizeof length) {
            char message[120];
            std::snprintf(message, sizeof message, "\nfirmware file ends inside the length of block %d\n",
                          number);
            Exit(message);
        }
        // Only octets that are in the file go to the modem's flash.
        size_t want = static_cast<size_t>(u16(length)) + 1;
        got = std::fread(block, 1, want, file);
        if (std::ferror(file))
            Exit("\ncannot read firmware file\n");
        if (got != want) {
            char message[120];
            std::snprintf(message, sizeof message,
                          "\nfirmware file truncated: block %d needs %zu Byte, %zu left\n", number, want,
                          got);
            Exit(message);
        }
        // Whatever arrived since the last answer (a late wake-up octet, line
        // noise) would otherwise be taken as this block's acknowledgement,
        // and every later answer, a NACK among them, read one block late.
        DiscardPendingInput(&ctx);
        SendBufferToModule(&ctx, block, static_cast<int>(want));
        if (!WaitForAckChar(&ctx, 255, 10, isBlockACKChar, 1))
            Exit("\nFirmware download error\n");
        sleep_ms(30);
    }
    std::fclose(file);
    TurnOffModule();
    printTheTime();
    std::printf("Telit Modem Firmware update successfully finished. Serial port: %s, firmware: %s\n",
                serialPort, firmwareFile);
}
