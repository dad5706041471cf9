// Helpers shared by the units of the IO multiplexer client library.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "iomultiplex.h"

#ifdef __cplusplus
extern "C" {
#endif

// Size of the record header on the wire: seconds, microseconds, sequence
// number and payload length, each a big-endian 32-bit word.
enum { IOMX_WIRE_HEADER = 16 };

// A stream socket connected to "<dir_name><base_name>" (non-blocking,
// close-on-exec), or -1 with errno set (ENAMETOOLONG when the path does
// not fit a socket address).
int openSocket(const char *dir_name, const char *base_name);

// Reads exactly len bytes from the non-blocking fd, each wait for data
// limited to timeout ms (0xFFFFFFFF: none): 0, or -1 after "err: %d\n".
int readWithTimeout(int fd, void *dst, size_t len, unsigned int timeout);

// Sends all len bytes on the non-blocking fd without SIGPIPE, each wait for
// room limited to timeout ms: 0 or -1.
int sendWithTimeout(int fd, const void *src, size_t len, unsigned int timeout);

// Decodes a wire header into host order. 0, or -1 when the payload length
// exceeds IOMX_MAX_DATA_LEN.
int iomx_decodeHeader(const uint8_t wire[IOMX_WIRE_HEADER], IOMXEvent *header);

// The time limit as poll takes it: 0xFFFFFFFF (and anything beyond what an
// int holds) is no limit.
int iomx_pollTimeout(unsigned int timeout);

#ifdef __cplusplus
}
#endif
