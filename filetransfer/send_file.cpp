#include "filetransfer/send_file.h"

#include "link/serial.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

struct FileCloser {
    void operator()(FILE* fp) const { std::fclose(fp); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// The line that names each failing load step, in front of the path (indexed by LoadStep).
constexpr std::array<const char*, 5> STEP_LINES = {
    "ERROR: cannot read ", "ERROR: cannot open ", "ERROR: cannot seek ",
    "ERROR: invalid file size, ", "ERROR: cannot read "};

} // namespace

LoadResult loadSendFile(const char* path, SendFile& out) {
    // O_NONBLOCK so that a FIFO without a writer cannot hold the run up in open(); it makes no
    // difference to a regular file.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {LoadStep::Open, errno};
    FilePtr fp(fdopen(fd, "rb"));
    if (!fp) {
        const int err = errno;
        close(fd);
        return {LoadStep::Open, err};
    }
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return {LoadStep::Open, errno};
    // A directory opens fine on Linux, but holds nothing that could be read.
    if (S_ISDIR(st.st_mode))
        return {LoadStep::Read, EISDIR};
    // Pipes, sockets and character devices have no size to find by seeking: some report 0 and
    // would turn into an empty transfer, others never end.
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        return {LoadStep::Seek, ESPIPE};

    if (fseeko(fp.get(), 0, SEEK_END) != 0)
        return {LoadStep::Seek, errno};
    const off_t end = ftello(fp.get());
    if (end < 0)
        return {LoadStep::Size, errno};
    // Refused before anything is allocated: the sender could not report such a transfer as
    // complete, so the module would be fed data for an operation bound to fail.
    if (end > XMODEM_MAX_SEND_SIZE)
        return {LoadStep::Size, EFBIG};
    // Nothing to send is never what was meant (an empty backup file is what a backup the module
    // never started leaves behind), and sending it would replace the module's data with a fill
    // block.
    if (end == 0)
        return {LoadStep::Size, ENODATA};

    if (fseeko(fp.get(), 0, SEEK_SET) != 0)
        return {LoadStep::Read, errno};
    const auto size = static_cast<std::size_t>(end);
    std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[size]);
    if (!data)
        return {LoadStep::Read, ENOMEM};
    errno = 0;
    if (std::fread(data.get(), 1, size, fp.get()) != size) {
        // A file that shrank since it was sized reads short without an error of its own: say
        // EIO rather than whatever errno happened to hold.
        const int err = std::ferror(fp.get()) != 0 && errno != 0 ? errno : EIO;
        return {LoadStep::Read, err};
    }
    out.data = std::move(data);
    out.size = static_cast<std::int64_t>(end);
    return {};
}

void printFileError(const char* invalidLine, const char* path) {
    const int err = errno;
    printLine(invalidLine);
    printOut("ERROR: %s: %s\n", std::strerror(err), path);
}

int loadFileToSend(const char* path, const char* invalidLine, SendFile& out) {
    const LoadResult load = loadSendFile(path, out);
    if (load.failedStep == LoadStep::None)
        return 0;
    errno = load.err;
    printFileError(invalidLine, path);
    printOut("%s%s\n", STEP_LINES[static_cast<std::size_t>(load.failedStep)], path);
    return -1;
}
