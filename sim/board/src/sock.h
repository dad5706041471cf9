// Socket helpers shared by the units of the emulator library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vboard/wire.h"

namespace vboard::detail {

// Creates the parent directories of path.
void make_parents(const std::string &path);
// A listening SOCK_SEQPACKET socket at path (a stale one is replaced).
int listen_at(const std::string &path);
// Accepts one connection (non-blocking, close-on-exec), or -1.
int accept_one(int listen_fd);

// One request with its payload and passed descriptors; false when the peer
// closed the connection or sent something malformed.
bool recv_request(int fd, wire::Request &req, std::vector<uint8_t> &payload, std::vector<int> &fds);
// One reply; pass_fd (>= 0) travels along as SCM_RIGHTS.
bool send_reply(int fd, int64_t result, int err, const void *payload, size_t len, int pass_fd = -1);

}  // namespace vboard::detail
