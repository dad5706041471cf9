// The Telit modem's serial boot loader: firmware image header, line
// settings, boot and block acknowledgements, and the download procedure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Size of the fixed header fields at the start of an image.
constexpr size_t TELIT_HEADER_FIELDS = 74;
constexpr size_t TELIT_TEXT_FIELD = 32;

struct TelitContext {
    const char *serialPort = nullptr;
    int fd = -1;
    uint16_t headerSize = 0;
    char softwareVersion[TELIT_TEXT_FIELD] = {};
    char productName[TELIT_TEXT_FIELD] = {};
    uint16_t memoryType = 0;
    uint16_t streamVersion = 0;
    uint32_t speedOffset = 0;
    unsigned char bootAckChar[4] = {}; // up to 3 octets, NUL after them
    int bootAckCharLength = 0;
};

// Reads the header fields from the start of file, checks them, seeks to
// HeaderSize and prints the header; a bad header ends corelift through Exit.
void telit_parseHeader(TelitContext *ctx, FILE *file);
// The boot acknowledgement of ctx->productName; an unknown name ends corelift.
void initModemBootACKChar(TelitContext *ctx, unsigned char *pattern, int *length);
void OpenSerialPort(TelitContext *ctx);
int WaitForAckChar(TelitContext *ctx, int vtime, int tries,
                   int (*check)(TelitContext *, const unsigned char *, int), int size);
// Drops what the line holds now, so that the next read is an answer to what
// is sent after it. Returns the number of octets read and dropped.
size_t DiscardPendingInput(TelitContext *ctx);
int isBootACKChar(TelitContext *ctx, const unsigned char *octets, int count);
int isBlockACKChar(TelitContext *ctx, const unsigned char *octets, int count);
void SendBootCharToModule(TelitContext *ctx);
void SendBufferToModule(TelitContext *ctx, const unsigned char *data, int length);
void printTheTime();
[[noreturn]] void Exit(const char *message);
void TurnOnModule();
void TurnOffModule();
// The whole download; productName may be null (the header's name is used).
void telit_updateFirmware(const char *serialPort, const char *firmwareFile, const char *productName);

// Pure part of the header check, for telit_parseHeader and the fuzz target.
// Takes the first octets of the file (at most TELIT_HEADER_FIELDS are
// looked at) and the file's size; fills ctx and returns nullptr, or returns
// the message that refuses the header (written into error).
const char *corelift_decodeHeader(TelitContext *ctx, const unsigned char *octets, size_t count,
                                  uint64_t fileSize, char *error, size_t errorSize);
// Pattern and length for a product name (0: unknown name).
int corelift_bootPattern(const char *productName, unsigned char *pattern);
