// Paired-device backup and restore, and the backup and restore modes.
#include "pairvault/pairvault_internal.h"

#include "filetransfer/progress.h"
#include "filetransfer/send_file.h"
#include "link/frames.h"
#include "link/serial.h"
#include "xmodem/xmodem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct FileCloser {
    void operator()(FILE* fp) const { std::fclose(fp); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// ---------------------------------------------------------------------------------------------
// Backup file handling
//
// The backup is received into a temporary file next to the target and only renamed over it
// once the transfer has succeeded and the data is on disk, so a failed backup never destroys
// the last good one and leaves nothing behind where there was nothing.

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows `path` through any symbolic links (even a dangling last one) to the name the data
// finally lands under, so the rename replaces the link's target and keeps the link.
int resolveLinks(const char* path, std::string& out) {
    constexpr int MAX_HOPS = 40; // the kernel's own limit
    std::string cur = path;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (lstat(cur.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            out = cur;
            return 0;
        }
        if (hops == MAX_HOPS)
            return ELOOP;
        char target[PATH_MAX];
        const ssize_t n = readlink(cur.c_str(), target, sizeof target - 1);
        if (n < 0)
            return errno;
        target[n] = '\0';
        cur = target[0] == '/' ? std::string(target) : directoryOf(cur) + "/" + target;
    }
}

mode_t currentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

struct BackupFile {
    FilePtr fp;
    std::string finalPath; // where a successful backup ends up
    std::string tempPath;  // empty when written in place

    BackupFile() = default;
    BackupFile(const BackupFile&) = delete;
    BackupFile& operator=(const BackupFile&) = delete;
    // An uncommitted backup is thrown away.
    ~BackupFile() {
        fp.reset();
        if (!tempPath.empty())
            unlink(tempPath.c_str());
    }
};

// Opens the file the backup is received into; 0, or the errno of the failure.
int openBackupFile(const char* path, BackupFile& bf) {
    struct stat st {};
    const bool exists = stat(path, &st) == 0;
    // A device or FIFO cannot be replaced by renaming; it is written in place.
    if (exists && !S_ISREG(st.st_mode)) {
        bf.fp.reset(std::fopen(path, "wb"));
        return bf.fp ? 0 : errno;
    }
    if (const int err = resolveLinks(path, bf.finalPath); err != 0)
        return err;
    // Keeps the temporary name within NAME_MAX however long the target's name is.
    std::string tmpl =
        directoryOf(bf.finalPath) + "/." + baseOf(bf.finalPath).substr(0, 200) + ".XXXXXX";
    const int fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    bf.tempPath = tmpl;
    // mkostemp creates 0600; give the file the mode a plain create, or the old file, had.
    const mode_t mode = exists ? (st.st_mode & 07777) : (0666 & ~currentUmask());
    if (fchmod(fd, mode) != 0) {
        const int err = errno;
        close(fd);
        return err;
    }
    bf.fp.reset(fdopen(fd, "wb"));
    if (!bf.fp) {
        const int err = errno;
        close(fd);
        return err;
    }
    return 0;
}

// Puts a complete backup in place; 0, or the errno of the failure (the old file then stays).
int commitBackupFile(BackupFile& bf) {
    if (bf.tempPath.empty())
        return std::fclose(bf.fp.release()) == 0 ? 0 : errno;
    if (std::fflush(bf.fp.get()) != 0 || fsync(fileno(bf.fp.get())) != 0)
        return errno;
    if (std::fclose(bf.fp.release()) != 0)
        return errno;
    if (rename(bf.tempPath.c_str(), bf.finalPath.c_str()) != 0)
        return errno;
    bf.tempPath.clear();
    // Makes the rename itself durable. The new backup is in place already, so a directory
    // that cannot be synced does not turn the backup into a failure.
    const int dirFd = open(directoryOf(bf.finalPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return 0;
}

constexpr const char* INVALID_RESTORE_FILE = "ERROR: invalid restore file";

} // namespace

int restoreZigbee(const char* path) {
    logPrintf("restore filename: %s\n", path);
    if (access(path, F_OK) != 0) {
        printFileError(INVALID_RESTORE_FILE, path);
        logPrintf("ERROR: cannot access %s\n", path);
        return -1;
    }
    // Everything that can go wrong with the file is found before the module is told to
    // expect a transfer: a module that accepted the restore command and then gets nothing is
    // left waiting for data that never comes.
    SendFile image;
    if (loadFileToSend(path, true, INVALID_RESTORE_FILE, image) != 0)
        return -1;
    if (sendControlCommand(CMD_RESTORE, LABEL_RESTORE) != 1) {
        printLine("ERROR: cannot access port");
        logPrintf("ERROR: restore init fail!\n");
        return -1;
    }
    logPrintf("restore file size = %lld\n", static_cast<long long>(image.size));
    logPrintf("Now restoring...may take %d mins.\n",
              static_cast<int>(image.size / RESTORE_BYTES_PER_MIN));

    progressBegin(image.size);
    const std::int32_t result =
        xmodemTransmit(image.data.get(), static_cast<std::int32_t>(image.size));
    progressEnd();
    logPrintf("result = %ld (%s)\n", static_cast<long>(result), retString(result));
    image.data.reset();
    // The module needs time to store the data before it is told anything else.
    pauseSeconds(RESTORE_SETTLE_S);

    if (result >= image.size)
        return 1;
    printLine("ERROR: fail to restore");
    return -1;
}

int backupZigbee(const char* path) {
    logPrintf("backup filename: %s\n", path);
    BackupFile bf;
    if (const int err = openBackupFile(path, bf); err != 0) {
        logPrintf("ERROR: %s: %s\n", std::strerror(err), path);
        printOut("ERROR: cannot open %s\n", path);
        return -1;
    }
    if (sendControlCommand(CMD_BACKUP, LABEL_BACKUP) != 1) {
        printLine("ERROR: cannot access port");
        logPrintf("ERROR: backup init fail!\n");
        return -1;
    }
    progressBegin(-1);
    const std::int32_t result = xmodemReceive(bf.fp.get());
    progressEnd();
    logPrintf("result = %ld (%s)\n", static_cast<long>(result), retString(result));
    if (result > 0) {
        // Data that never reached the disk is no backup, whatever the transfer said.
        const int err = commitBackupFile(bf);
        if (err == 0)
            return 1;
        logPrintf("ERROR: %s: %s\n", std::strerror(err), path);
    }
    printLine("ERROR: fail to backup");
    return -1;
}

int runBackupMode(const RunOptions& opt) {
    if (!prepareDevice("backup", opt.device))
        return -1;
    if (backupZigbee(opt.backupFile) == 1)
        printLine("SUCCESS");
    closeSerial();
    // A failed backup shows only on stdout; the exit status is success either way.
    return 1;
}

int restoreThenReboot(const char* device, const char* path) {
    if (restoreZigbee(path) != 1) {
        closeSerial();
        return -1;
    }
    // The module takes the reboot command on a fresh opening of the port.
    closeSerial();
    if (!openModulePort(device))
        return -1;
    if (sendControlCommand(CMD_REBOOT, LABEL_REBOOT) != 1) {
        printLine("ERROR");
        closeSerial();
        return -1;
    }
    return 1;
}

int runRestoreMode(const RunOptions& opt) {
    if (!prepareDevice("restore", opt.device))
        return -1;
    if (restoreThenReboot(opt.device, opt.restoreFile) != 1)
        return -1;
    closeSerial();
    printLine("SUCCESS");
    return 1;
}
