#include "pairvault/backup_target.h"

#include "pairvault/pairvault_internal.h"

#include "link/interrupt.h"
#include "link/serial.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string_view>
#include <utility>

namespace {

// Opens `path` for writing as fopen(path, "wb") does (same flags), except that an existing file
// is not emptied and a new one is its owner's only; the descriptor, or -1 with errno set.
int openLikeFopen(const char* path, bool& created) {
    constexpr int FLAGS = O_WRONLY | O_CREAT | O_CLOEXEC;
    int fd = open(path, FLAGS | O_EXCL, BACKUP_FILE_MODE);
    if (fd >= 0) {
        created = true;
        return fd;
    }
    if (errno != EEXIST)
        return -1;
    // Something has the name: a file, or a link whose target the open may still create.
    struct stat st {};
    const bool missing = stat(path, &st) != 0 && errno == ENOENT;
    fd = open(path, FLAGS, BACKUP_FILE_MODE);
    created = fd >= 0 && missing;
    return fd;
}

// Whether `name` in `dirFd`, not followed if it is a link, is the file `opened` is.
bool stillNames(int dirFd, const char* name, const struct stat& opened) {
    struct stat entry {};
    return fstatat(dirFd, name, &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
           entry.st_dev == opened.st_dev && entry.st_ino == opened.st_ino;
}

// Finds the directory entry of what was opened, from the path the kernel resolved, and keeps
// it only while it still names that same file.
void locateEntry(BackupTarget& t, const struct stat& st) {
    const std::string link = "/proc/self/fd/" + std::to_string(t.fd);
    char buf[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf || buf[0] != '/')
        return; // a pipe or socket, or no /proc
    const std::string full(buf, static_cast<std::size_t>(n));
    const auto slash = full.rfind('/');
    const std::string dir = slash == 0 ? "/" : full.substr(0, slash);
    t.name = full.substr(slash + 1);
    t.dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (t.dirFd >= 0 && stillNames(t.dirFd, t.name.c_str(), st))
        return;
    if (t.dirFd >= 0)
        close(t.dirFd);
    t.dirFd = -1;
}

// The id of the mount `fd` lives on, or -1 when the kernel does not say.
int mountId(int fd) {
    const std::string info = "/proc/self/fdinfo/" + std::to_string(fd);
    std::FILE* fp = std::fopen(info.c_str(), "re");
    if (fp == nullptr)
        return -1;
    constexpr std::string_view KEY = "mnt_id:";
    long id = -1;
    char line[128];
    while (id < 0 && std::fgets(line, sizeof line, fp) != nullptr) {
        if (std::string_view(line).starts_with(KEY)) {
            char* end = nullptr;
            id = std::strtol(line + KEY.size(), &end, 10);
            if (end == line + KEY.size() || id < 0 || id > INT_MAX)
                id = -1;
        }
    }
    std::fclose(fp);
    return static_cast<int>(id);
}

// Whether a file renamed into the target's directory can replace it, and a temporary file
// there can be removed again.
bool renameCanReplace(const BackupTarget& t, const struct stat& st) {
    struct stat dir {};
    if (t.dirFd < 0 || !S_ISREG(st.st_mode) || fstat(t.dirFd, &dir) != 0)
        return false;
    // A mount point (such as a bind-mounted file) cannot be renamed over: it sits on another
    // mount than its directory, even when both are on the same file system.
    const int mount = mountId(t.fd);
    if (mount < 0 ? dir.st_dev != st.st_dev : mount != mountId(t.dirFd))
        return false;
    // An append-only or immutable directory refuses the rename and the removal alike.
    int flags = 0;
    if (ioctl(t.dirFd, FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0)
        return false;
    // In a sticky directory only the owner of the file or of the directory may replace it.
    const uid_t me = geteuid();
    return (dir.st_mode & S_ISVTX) == 0 || me == 0 || st.st_uid == me || dir.st_uid == me;
}

// The name every temporary file of the target starts with; mkostemp adds six characters. It
// stays within NAME_MAX however long the target's name is, and no other tool makes names of
// this shape (rsync's are ".<name>.XXXXXX").
std::string temporaryPrefix(const std::string& name) {
    return "." + name.substr(0, 200) + TEMPORARY_MARK;
}

bool isTemporaryOf(std::string_view entry, const std::string& prefix) {
    constexpr std::size_t RANDOM_CHARS = 6; // mkostemp's "XXXXXX", letters and digits
    return entry.size() == prefix.size() + RANDOM_CHARS && entry.starts_with(prefix) &&
           std::all_of(entry.begin() + static_cast<std::ptrdiff_t>(prefix.size()), entry.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

void removeTemporary(BackupTarget& t) {
    if (!t.tempName.empty())
        unlinkat(t.dirFd, t.tempName.c_str(), 0);
    t.tempName.clear();
}

// A temporary file beside the target, with the target's owner, group and permission bits (a
// new target: the running user's and the directory's defaults, and the mode it was created
// with), locked for as long as this run may write it; 0, or the errno.
int openTemporary(BackupTarget& t, const struct stat& st) {
    std::string tmpl =
        "/proc/self/fd/" + std::to_string(t.dirFd) + "/" + temporaryPrefix(t.name) + "XXXXXX";
    t.tempFd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (t.tempFd < 0)
        return errno;
    t.tempName = tmpl.substr(tmpl.rfind('/') + 1);
    // Not waiting for the lock: someone holding it already took the file for debris. Owner and
    // group before the mode, which a change of owner may strip, and both before any byte: who
    // may read the backup is who could read the file it replaces.
    // mkostemp creates 0600; the backup keeps the mode the target has (or was created with).
    if (flock(t.tempFd, LOCK_EX | LOCK_NB) != 0 ||
        (!t.created && fchown(t.tempFd, st.st_uid, st.st_gid) != 0) ||
        fchmod(t.tempFd, st.st_mode & BACKUP_KEPT_MODE) != 0) {
        const int err = errno;
        removeTemporary(t);
        close(std::exchange(t.tempFd, -1));
        return err;
    }
    return 0;
}

// Removes the target's temporary files that no run holds: left by a run that was killed or cut
// off by a power loss, which can no longer be running.
void removeStaleTemporaries(const BackupTarget& t) {
    const int fd = openat(t.dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
        if (fd >= 0)
            close(fd);
        return;
    }
    const std::string prefix = temporaryPrefix(t.name);
    while (const dirent* e = readdir(dir)) {
        if (e->d_name == t.tempName || !isTemporaryOf(e->d_name, prefix))
            continue;
        // Only a plain file of the running user that nothing else links to, nobody holds, and
        // that the name still leads to.
        const int old = openat(t.dirFd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat opened {};
        if (old >= 0 && fstat(old, &opened) == 0 && S_ISREG(opened.st_mode) &&
            opened.st_nlink == 1 && opened.st_uid == geteuid() &&
            flock(old, LOCK_EX | LOCK_NB) == 0 && stillNames(t.dirFd, e->d_name, opened) &&
            unlinkat(t.dirFd, e->d_name, 0) == 0)
            logPrintf("removed %s, left by a backup that did not finish\n", e->d_name);
        if (old >= 0)
            close(old);
    }
    closedir(dir);
}

// Writes all of `bytes` at the descriptor's position; 0, or the errno.
int writeAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            endIfInterrupted();
            continue;
        }
        if (n <= 0)
            return n < 0 ? errno : EIO;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return 0;
}

int appendToMemory(std::vector<std::uint8_t>& memory, std::span<const std::uint8_t> bytes) {
    if (bytes.size() > BACKUP_MEMORY_LIMIT - memory.size())
        return EFBIG;
    try {
        memory.insert(memory.end(), bytes.begin(), bytes.end());
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    return 0;
}

// 64-bit FNV-1a, restarted for every unit.
constexpr std::uint64_t FNV_OFFSET = 0xcbf29ce484222325;
constexpr std::uint64_t FNV_PRIME = 0x100000001b3;

void addToDigest(ReceivedDigest& d, std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes) {
        if (d.size % READBACK_UNIT == 0)
            d.current = FNV_OFFSET;
        d.current = (d.current ^ b) * FNV_PRIME;
        if (++d.size % READBACK_UNIT == 0)
            d.units.push_back(d.current);
    }
}

ReceivedDigest digestOf(std::span<const std::uint8_t> bytes) {
    ReceivedDigest d;
    addToDigest(d, bytes);
    return d;
}

// Where two digests first differ: the start of the first unit that differs, or -1.
std::int64_t firstDifference(const ReceivedDigest& a, const ReceivedDigest& b) {
    const auto [ia, ib] =
        std::mismatch(a.units.begin(), a.units.end(), b.units.begin(), b.units.end());
    const std::int64_t unit = ia - a.units.begin();
    if (ia != a.units.end() || ib != b.units.end())
        return unit * READBACK_UNIT;
    return a.size == b.size && a.current == b.current ? -1 : unit * READBACK_UNIT;
}

// The receiver's stream: every block goes where the target's way says, and into the digest.
ssize_t receiveBlock(void* cookie, const char* data, std::size_t n) {
    auto& t = *static_cast<BackupTarget*>(cookie);
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(data), n);
    int err = 0;
    switch (t.way) {
    case BackupWay::Temporary:
        err = writeAll(t.tempFd, bytes);
        break;
    case BackupWay::InPlace:
        err = appendToMemory(t.memory, bytes);
        break;
    case BackupWay::Streamed:
        err = writeAll(t.fd, bytes);
        break;
    }
    if (err != 0) {
        // Nothing written, with errno set, is how the stream learns of the failure: glibc
        // would count a -1 from here as bytes written.
        errno = err;
        return 0;
    }
    addToDigest(t.received, bytes);
    return static_cast<ssize_t>(n);
}

int openReceiveStream(BackupTarget& t) {
    t.stream = fopencookie(&t, "wb", {nullptr, receiveBlock, nullptr, nullptr});
    if (t.stream == nullptr)
        return errno;
    // Unbuffered, so a block that cannot be stored fails the transfer on that block.
    setvbuf(t.stream, nullptr, _IONBF, 0);
    return 0;
}

int failure(int err, const char* path) {
    logPrintf("ERROR: %s: %s\n", std::strerror(err), path);
    return -1;
}

// verifyReadBack on a fresh descriptor for reading the opened target.
int verifyTarget(const BackupTarget& t, bool wholeFile, const char* path) {
    const std::string self = "/proc/self/fd/" + std::to_string(t.fd);
    const int fd = open(self.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return failure(errno, path);
    const int result = verifyReadBack(t.received, fd, wholeFile, path);
    close(fd);
    return result;
}

// Removes the target when the open created it (and the name still leads to what was opened).
void removeCreated(BackupTarget& t) {
    struct stat opened {};
    if (t.created && t.dirFd >= 0 && fstat(t.fd, &opened) == 0 &&
        stillNames(t.dirFd, t.name.c_str(), opened) && unlinkat(t.dirFd, t.name.c_str(), 0) == 0)
        t.created = false;
}

// Removes what an abandoned backup put in the directory: the temporary file, and the target
// itself when the open created it.
void discardEntries(BackupTarget& t) {
    if (t.dirFd < 0)
        return;
    removeTemporary(t);
    removeCreated(t);
    t.created = false;
}

// Reads the whole of what `fd` holds now; 0, or the errno.
int readWhole(int fd, std::vector<std::uint8_t>& out) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return errno;
    if (st.st_size > static_cast<off_t>(BACKUP_MEMORY_LIMIT))
        return EFBIG;
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

// Makes the target hold exactly `bytes`, synced; 0, or the errno.
int overwrite(int fd, std::span<const std::uint8_t> bytes) {
    if (lseek(fd, 0, SEEK_SET) != 0)
        return errno;
    if (const int err = writeAll(fd, bytes); err != 0)
        return err;
    if (ftruncate(fd, static_cast<off_t>(bytes.size())) != 0 || fsync(fd) != 0)
        return errno;
    return 0;
}

// The backup received into memory, written over the target in place: the old content is kept
// until the new one has been read back, and put back, synced, on any failure. The space is
// reserved before the first byte, so a full file system refuses the backup before it touches
// the old one.
int writeInPlace(BackupTarget& t, const char* path) {
    std::vector<std::uint8_t> old;
    const std::string self = "/proc/self/fd/" + std::to_string(t.fd);
    const int reader = open(self.c_str(), O_RDONLY | O_CLOEXEC);
    const int readErr = reader < 0 ? errno : readWhole(reader, old);
    if (reader >= 0)
        close(reader);
    if (readErr != 0)
        return failure(readErr, path);
    if (!t.memory.empty() &&
        fallocate(t.fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(t.memory.size())) != 0 &&
        errno != EOPNOTSUPP)
        return failure(errno, path);
    int err = overwrite(t.fd, t.memory);
    if (err != 0)
        failure(err, path);
    if (err == 0 && verifyTarget(t, true, path) == 0)
        return 0;
    if (overwrite(t.fd, old) != 0 || verifyReadBack(digestOf(old), t.fd, true, path) != 0)
        logPrintf("ERROR: %s could not be put back as it was: it holds neither the previous "
                  "backup nor the new one\n",
                  path);
    else
        logPrintf("%s is back as it was before this backup\n", path);
    return -1;
}

} // namespace

int verifyReadBack(const ReceivedDigest& received, int fd, bool wholeFile, const char* path) {
    // The pages are clean after the sync: dropped, they have to come from the medium again. A
    // file system without a medium (tmpfs, ramfs) drops nothing, and a refused drop neither:
    // the comparison still runs, but the log says what it read.
    struct statfs fs {};
    const bool noMedium =
        fstatfs(fd, &fs) == 0 &&
        (static_cast<unsigned long>(fs.f_type) == static_cast<unsigned long>(TMPFS_MAGIC) ||
         static_cast<unsigned long>(fs.f_type) == static_cast<unsigned long>(RAMFS_MAGIC));
    const int dropped = posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    if (noMedium)
        logPrintf("%s: read back from memory: its file system has no medium to read from\n", path);
    else if (dropped != 0)
        logPrintf("%s: read back from memory: the cached pages were not dropped: %s\n", path,
                  std::strerror(dropped));
    constexpr std::size_t CHUNK = 64 << 10;
    std::vector<std::uint8_t> buf(CHUNK);
    ReceivedDigest back;
    const std::int64_t limit = received.size + (wholeFile ? 1 : 0);
    while (back.size < limit) {
        const auto want =
            static_cast<std::size_t>(std::min<std::int64_t>(CHUNK, limit - back.size));
        const ssize_t n = pread(fd, buf.data(), want, static_cast<off_t>(back.size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failure(errno, path);
        if (n == 0)
            break;
        addToDigest(back, std::span(buf).first(static_cast<std::size_t>(n)));
    }
    const std::int64_t at = firstDifference(received, back);
    if (at < 0)
        return 0;
    const std::int64_t last = std::min(at + READBACK_UNIT, std::max(received.size, back.size)) - 1;
    logPrintf("ERROR: %s reads back different from what was received, first in bytes %lld-%lld\n",
              path, static_cast<long long>(at), static_cast<long long>(last));
    return -1;
}

BackupTarget::~BackupTarget() {
    popInterruptCleanup(this);
    if (stream != nullptr)
        std::fclose(stream);
    discardEntries(*this);
    for (const int descriptor : {tempFd, dirFd, fd})
        if (descriptor >= 0)
            close(descriptor);
}

int openBackupTarget(const char* path, BackupTarget& t) {
    t.fd = openLikeFopen(path, t.created);
    if (t.fd < 0)
        return errno;
    struct stat st {};
    if (fstat(t.fd, &st) != 0)
        return errno;
    locateEntry(t, st);
    if (!S_ISREG(st.st_mode)) {
        t.way = BackupWay::Streamed;
    } else if (renameCanReplace(t, st) && openTemporary(t, st) == 0) {
        t.way = BackupWay::Temporary;
        // The target's name appears only when the complete backup is renamed into place.
        removeCreated(t);
        removeStaleTemporaries(t);
    } else {
        t.way = BackupWay::InPlace;
    }
    if (const int err = openReceiveStream(t); err != 0)
        return err;
    // A run ended by a signal before the commit leaves nothing behind either.
    pushInterruptCleanup([](void* target) { discardEntries(*static_cast<BackupTarget*>(target)); },
                         &t);
    return 0;
}

int commitBackupTarget(BackupTarget& t, const char* path) {
    // Unbuffered: everything received has been handed on already.
    std::fclose(std::exchange(t.stream, nullptr));
    struct stat st {};
    switch (t.way) {
    case BackupWay::Temporary:
        if (fsync(t.tempFd) != 0)
            return failure(errno, path);
        if (verifyReadBack(t.received, t.tempFd, true, path) != 0)
            return -1;
        if (renameat(t.dirFd, t.tempName.c_str(), t.dirFd, t.name.c_str()) != 0)
            return failure(errno, path);
        t.tempName.clear();
        // Makes the rename itself durable. The new backup is in place already, so a directory
        // that cannot be synced does not turn the backup into a failure.
        fsync(t.dirFd);
        break;
    case BackupWay::InPlace:
        if (writeInPlace(t, path) != 0)
            return -1;
        break;
    case BackupWay::Streamed:
        // Character devices and FIFOs have nothing to sync (EINVAL) and nothing to read back.
        if (fsync(t.fd) != 0 && errno != EINVAL)
            return failure(errno, path);
        if (fstat(t.fd, &st) == 0 && S_ISBLK(st.st_mode) && verifyTarget(t, false, path) != 0)
            return -1;
        break;
    }
    t.created = false;
    return 0;
}
