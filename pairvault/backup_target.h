// The file a backup is written to.
//
// A backup holds the Zigbee network's keys, so a backup file the run creates is its owner's
// only (BACKUP_FILE_MODE; the running user's and the directory's defaults otherwise, setgid
// directory or not), and one that replaces an existing file keeps that file's owner, group and
// permission bits, never set-id or sticky ones.
//
// The target is opened first, exactly as a plain fopen(path, "wb") would open it but without
// emptying it, so every refusal the kernel gives such an open (missing directory, permission,
// a link it will not follow, a read-only file system) comes before any frame is sent. What was
// opened then decides where the data goes while it arrives:
//
// - a regular file in a directory that takes a new entry and a rename: a temporary file
//   `.<name>.pairvault-partial.XXXXXX` beside it, given the target's owner and group before
//   its first byte, synced, read back and renamed over it once the transfer is complete. A
//   file the open had to create is removed again at once, so nothing appears under the
//   target's name before the complete backup does;
// - a regular file a rename cannot replace (a mount point such as a bind-mounted file, a file
//   in an append-only directory or one that takes no new entry), or whose owner a temporary
//   file cannot be given: memory, written into the opened target in place after a complete
//   transfer, into space reserved first, synced and read back. The old content is read first
//   and put back, synced, when anything after the first byte fails;
// - anything else (a device, a FIFO): the target itself, block by block as the data arrives.
//   A block device is read back after the sync; nothing else can be.
//
// Reading back: every byte the receiver hands over is hashed on its way, in units of
// READBACK_UNIT bytes. After the sync the cached pages are dropped, and what the medium gives
// back is hashed the same way and must match before the backup replaces anything or counts as
// a success. On a file system without a medium (tmpfs, ramfs), or when the drop is refused,
// what is read back comes from memory, and the run log says so.
//
// Temporary files: a run holds an exclusive flock on its own for as long as it may write it.
// The kernel drops the lock of a run that was killed, so a temporary file of the same target,
// of the running user, with one link, that nobody holds, is debris of a run that can no longer
// be running, and is removed. Files of any other shape or owner are never touched.
//
// A target that is abandoned leaves no temporary file, and a file the open created is removed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// How the received data reaches the target (see above).
enum class BackupWay { Temporary, InPlace, Streamed };

// What the receiver handed over, hashed unit by unit, so that it can be compared with what the
// medium gives back without holding it.
struct ReceivedDigest {
    std::vector<std::uint64_t> units; // one hash per complete unit
    std::uint64_t current = 0;        // the unit in progress
    std::int64_t size = 0;
};

struct BackupTarget {
    int fd = -1;          // the opened target
    int dirFd = -1;       // the directory holding it; -1 when unknown
    std::string name;     // its entry in dirFd
    int tempFd = -1;      // the temporary file in dirFd, locked while this run may write it
    std::string tempName; // its name; empty when there is none
    bool created = false; // the open created it (removed again unless a backup lands in it)
    BackupWay way = BackupWay::Streamed;
    FILE* stream = nullptr;           // what the receiver writes to: unbuffered, every byte hashed
    std::vector<std::uint8_t> memory; // BackupWay::InPlace: the data until it is complete
    ReceivedDigest received;

    BackupTarget() = default;
    BackupTarget(const BackupTarget&) = delete;
    BackupTarget& operator=(const BackupTarget&) = delete;
    ~BackupTarget();
};

// Opens `path` and prepares `t.stream`; 0, or the errno of the failure (nothing is left then).
[[nodiscard]] int openBackupTarget(const char* path, BackupTarget& t);
// Reads back from the medium what was synced to `fd` (from its start) and compares it with
// `received`; with `wholeFile`, the file must also end where the data did. 0, or -1 after
// logging why not. The commit's read-back, declared here for the benchmark.
[[nodiscard]] int verifyReadBack(const ReceivedDigest& received, int fd, bool wholeFile,
                                 const char* path);
// Puts a complete backup in place and reads it back; 0, or -1 after logging why it failed (an
// "ERROR: <text>: <path>" line, or the bytes in which the read-back differs).
[[nodiscard]] int commitBackupTarget(BackupTarget& t, const char* path);
