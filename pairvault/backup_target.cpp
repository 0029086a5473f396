// The file a backup is written to: opened as a plain open would, then written through a
// temporary file and a rename, or in place from memory where a rename cannot replace it.
#include "pairvault/backup_target.h"

#include "pairvault/pairvault_internal.h"

#include "link/interrupt.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <string_view>
#include <utility>

namespace {

// Opens `path` for writing as fopen(path, "wb") does (same flags, same creation mode), except
// that an existing file is not emptied; the descriptor, or -1 with errno set.
int openLikeFopen(const char* path, bool& created) {
    constexpr int FLAGS = O_WRONLY | O_CREAT | O_CLOEXEC;
    constexpr mode_t MODE = 0666;
    int fd = open(path, FLAGS | O_EXCL, MODE);
    if (fd >= 0) {
        created = true;
        return fd;
    }
    if (errno != EEXIST)
        return -1;
    // Something has the name: a file, or a link whose target the open may still create.
    struct stat st {};
    const bool missing = stat(path, &st) != 0 && errno == ENOENT;
    fd = open(path, FLAGS, MODE);
    created = fd >= 0 && missing;
    return fd;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Finds the directory entry of what was opened, from the path the kernel resolved, and keeps
// it only while it still names that same file.
void locateEntry(BackupTarget& t, const struct stat& st) {
    const std::string link = "/proc/self/fd/" + std::to_string(t.fd);
    char buf[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf || buf[0] != '/') {
        return; // a pipe or socket, or no /proc
    }
    const std::string full(buf, static_cast<std::size_t>(n));
    const auto slash = full.rfind('/');
    const std::string dir = slash == 0 ? "/" : full.substr(0, slash);
    t.name = full.substr(slash + 1);
    t.dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat entry {};
    if (t.dirFd >= 0 && fstatat(t.dirFd, t.name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameFile(entry, st))
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

// A temporary file beside the target, with the target's mode; 0, or the errno.
int openTemporary(BackupTarget& t, const struct stat& st) {
    // Keeps the temporary name within NAME_MAX however long the target's name is.
    std::string tmpl =
        "/proc/self/fd/" + std::to_string(t.dirFd) + "/." + t.name.substr(0, 200) + ".XXXXXX";
    const int fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    t.tempName = tmpl.substr(tmpl.rfind('/') + 1);
    // mkostemp creates 0600; the backup keeps the mode the target has (or was created with).
    if (fchmod(fd, st.st_mode & 07777) != 0 || (t.stream = fdopen(fd, "wb")) == nullptr) {
        const int err = errno;
        close(fd);
        unlinkat(t.dirFd, t.tempName.c_str(), 0);
        t.tempName.clear();
        return err;
    }
    return 0;
}

ssize_t appendToMemory(void* cookie, const char* data, std::size_t n) {
    auto& memory = *static_cast<std::vector<std::uint8_t>*>(cookie);
    if (n > BACKUP_MEMORY_LIMIT - memory.size()) {
        errno = EFBIG;
        return -1;
    }
    try {
        memory.insert(memory.end(), data, data + n);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }
    return static_cast<ssize_t>(n);
}

int openMemoryStream(BackupTarget& t) {
    t.stream = fopencookie(&t.memory, "wb", {nullptr, appendToMemory, nullptr, nullptr});
    if (t.stream == nullptr)
        return errno;
    // Unbuffered, so a backup beyond the limit fails on the block that crosses it.
    setvbuf(t.stream, nullptr, _IONBF, 0);
    return 0;
}

// Writes the received backup over the target's old content, then syncs it; 0, or the errno.
int writeInPlace(int fd, const std::vector<std::uint8_t>& data) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return errno;
    const bool regular = S_ISREG(st.st_mode);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n =
            regular ? pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(done))
                    : write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        done += static_cast<std::size_t>(n);
    }
    if (regular && ftruncate(fd, static_cast<off_t>(data.size())) != 0)
        return errno;
    // Character devices and FIFOs have nothing to sync (EINVAL); anything else must sync.
    if (fsync(fd) != 0 && (regular || errno != EINVAL))
        return errno;
    return 0;
}

// Removes what an abandoned backup put in the directory: the temporary file, and the target
// itself when the open created it (and the name still leads to what was opened).
void discardEntries(BackupTarget& t) {
    if (t.dirFd < 0)
        return;
    if (!t.tempName.empty())
        unlinkat(t.dirFd, t.tempName.c_str(), 0);
    t.tempName.clear();
    struct stat entry {};
    struct stat opened {};
    if (t.created && fstat(t.fd, &opened) == 0 &&
        fstatat(t.dirFd, t.name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameFile(entry, opened))
        unlinkat(t.dirFd, t.name.c_str(), 0);
    t.created = false;
}

} // namespace

BackupTarget::~BackupTarget() {
    popInterruptCleanup(this);
    if (stream != nullptr)
        std::fclose(stream);
    discardEntries(*this);
    if (dirFd >= 0)
        close(dirFd);
    if (fd >= 0)
        close(fd);
}

int openBackupTarget(const char* path, BackupTarget& t) {
    t.fd = openLikeFopen(path, t.created);
    if (t.fd < 0)
        return errno;
    struct stat st {};
    if (fstat(t.fd, &st) != 0)
        return errno;
    locateEntry(t, st);
    // No rename possible, or the directory takes no new entry: memory, written in place.
    const int err = renameCanReplace(t, st) && openTemporary(t, st) == 0 ? 0 : openMemoryStream(t);
    // A run ended by a signal before the commit leaves nothing behind either.
    if (err == 0)
        pushInterruptCleanup(
            [](void* target) { discardEntries(*static_cast<BackupTarget*>(target)); }, &t);
    return err;
}

int commitBackupTarget(BackupTarget& t) {
    FILE* stream = std::exchange(t.stream, nullptr);
    if (t.tempName.empty()) {
        if (std::fclose(stream) != 0)
            return errno;
        if (const int err = writeInPlace(t.fd, t.memory); err != 0)
            return err;
        t.created = false;
        return 0;
    }
    if (std::fflush(stream) != 0 || fsync(fileno(stream)) != 0) {
        const int err = errno;
        std::fclose(stream);
        return err;
    }
    if (std::fclose(stream) != 0)
        return errno;
    if (renameat(t.dirFd, t.tempName.c_str(), t.dirFd, t.name.c_str()) != 0)
        return errno;
    t.tempName.clear();
    t.created = false;
    // Makes the rename itself durable. The new backup is in place already, so a directory
    // that cannot be synced does not turn the backup into a failure.
    fsync(t.dirFd);
    return 0;
}
