// The file a backup is written to.
//
// The target is opened first, exactly as a plain fopen(path, "wb") would open it but without
// emptying it, so every refusal the kernel gives such an open (missing directory, permission,
// a link it will not follow, a read-only file system) comes before any frame is sent. What was
// opened then decides where the data goes while it arrives:
//
// - a regular file in a directory that takes a new entry and a rename: a temporary file beside
//   it, synced and renamed over it once the transfer is complete;
// - anything a rename cannot replace (a mount point such as a bind-mounted file, a file in an
//   append-only directory or one that takes no new entry, a device or FIFO): memory, written
//   into the opened target in place after a complete transfer and synced.
//
// A target that is abandoned leaves no temporary file, and a file the open created is removed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct BackupTarget {
    int fd = -1;            // the opened target
    int dirFd = -1;         // the directory holding it; -1 when unknown
    std::string name;       // its entry in dirFd
    std::string tempName;   // the temporary file in dirFd; empty when received into memory
    bool created = false;   // the open created it (removed again unless a backup lands in it)
    FILE* stream = nullptr; // what the receiver writes to
    std::vector<std::uint8_t> memory;

    BackupTarget() = default;
    BackupTarget(const BackupTarget&) = delete;
    BackupTarget& operator=(const BackupTarget&) = delete;
    ~BackupTarget();
};

// Opens `path` and prepares `t.stream`; 0, or the errno of the failure (nothing is left then).
[[nodiscard]] int openBackupTarget(const char* path, BackupTarget& t);
// Puts a complete backup in place; 0, or the errno of the failure.
[[nodiscard]] int commitBackupTarget(BackupTarget& t);
