// File permission services of QuilmarFileSystemImpl, without the JVM.
#pragma once

#include <sys/types.h>

// Access codes of the Java side: the platform's R_OK, W_OK and X_OK.
enum : int { FS_ACCESS_READ = 4, FS_ACCESS_WRITE = 2, FS_ACCESS_EXECUTE = 1 };

// The permission bits for an access code, for the owner only or for owner,
// group and others; 0 for an unknown code.
mode_t fs_permission_bits(int access, bool owner_only);

// 1 and the file's whole mode word in `*mode`, or 0 when stat fails.
int statMode(const char *path, mode_t *mode);

// True when the real user may access `path` as `access` (a known code).
bool fs_check_access(const char *path, int access);

// Adds (enable) or removes the bits of `access` on `path`. True when both
// the status and the change-mode call succeeded.
bool fs_set_permission(const char *path, int access, bool enable, bool owner_only);
