// The two modes of radioflash: the version query and the update run.
#include "radioflash/radioflash.h"

#include "link/serial.h"
#include "xmodem/xmodem.h"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
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

void sleepSeconds(unsigned s) {
    timespec rest{static_cast<time_t>(s), 0};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

// The load steps a failure is reported under, each with its line on standard output.
enum class LoadStep { Open, Seek, Size, Read };

int loadFailed(const char* path, LoadStep step) {
    binFileError(path);
    switch (step) {
    case LoadStep::Open:
        std::printf("ERROR: cannot open %s\n", path);
        break;
    case LoadStep::Seek:
        std::printf("ERROR: cannot seek %s\n", path);
        break;
    case LoadStep::Size:
        std::printf("ERROR: invalid file size, %s\n", path);
        break;
    case LoadStep::Read:
        std::printf("ERROR: cannot read %s\n", path);
        break;
    }
    return -1;
}

} // namespace

int loadImage(const char* path, FirmwareImage& image) {
    // Opened non-blocking so that a FIFO nobody writes to cannot stall the run here; the flag
    // makes no difference to a regular file.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return loadFailed(path, LoadStep::Open);
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return loadFailed(path, LoadStep::Open);
    }
    if (S_ISDIR(st.st_mode)) {
        // A directory opens fine but cannot be read; say so as the read would.
        close(fd);
        errno = EISDIR;
        return loadFailed(path, LoadStep::Read);
    }
    if (!S_ISREG(st.st_mode)) {
        // A FIFO, socket or device has no size to send and may never end: refused as a file
        // that cannot be opened.
        close(fd);
        errno = EINVAL;
        return loadFailed(path, LoadStep::Open);
    }
    FilePtr fp(fdopen(fd, "rb"));
    if (!fp) {
        const int err = errno;
        close(fd);
        errno = err;
        return loadFailed(path, LoadStep::Open);
    }

    if (fseeko(fp.get(), 0, SEEK_END) != 0)
        return loadFailed(path, LoadStep::Seek);
    const off_t end = ftello(fp.get());
    if (end < 0)
        return loadFailed(path, LoadStep::Size);
    const std::int64_t size = end;
    // An empty image has nothing to install, and one at or above the limit cannot be reported
    // as sent whole; both are refused before the buffer exists.
    if (size == 0 || size >= IMAGE_SIZE_LIMIT) {
        errno = EFBIG;
        return loadFailed(path, LoadStep::Size);
    }

    if (fseeko(fp.get(), 0, SEEK_SET) != 0)
        return loadFailed(path, LoadStep::Read);
    const auto count = static_cast<std::size_t>(size);
    std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[count]);
    if (!data) {
        errno = ENOMEM;
        return loadFailed(path, LoadStep::Read);
    }
    errno = 0;
    const std::size_t got = std::fread(data.get(), 1, count, fp.get());
    if (got != count) {
        // A file that shrank since it was sized reads short without any error: say EIO
        // rather than whatever errno happened to hold.
        if (!std::ferror(fp.get()) || errno == 0)
            errno = EIO;
        return loadFailed(path, LoadStep::Read);
    }
    image.data = std::move(data);
    image.size = size;
    return 0;
}

int runVersionQuery(const char* device) {
    const int result = GetCurrentVersion(device);
    if (result == 1)
        return EXIT_VERSION_SHOWN;
    if (result == -2) {
        std::puts("NORESPONSE");
        return EXIT_FAILURE_STATUS;
    }
    std::puts("ERROR");
    return result;
}

int runUpdate(const char* device, const char* firmware) {
    logPrintf("firmware: %s\n", firmware);
    struct stat st {};
    if (stat(firmware, &st) != 0) {
        binFileError(firmware);
        logPrintf("ERROR: cannot access %s\n", firmware);
        return EXIT_FAILURE_STATUS;
    }
    logPrintf("Preparing to update device %s...\n", device);

    // The image is read and checked before the module is touched: once switched into its
    // firmware receiver the module waits for an image, so a local file that turns out to be
    // unreadable must not leave it stranded there.
    FirmwareImage image;
    if (loadImage(firmware, image) != 0)
        return EXIT_FAILURE_STATUS;

    if (Update_Init(device) < 0) {
        std::puts("ERROR: cannot access port");
        logPrintf("ERROR: update init fail!\n");
        return EXIT_FAILURE_STATUS;
    }
    logPrintf("firmware size = %" PRId64 "\n", image.size);
    logPrintf("Now updating...may take 5 mins.\n");

    // The size fits: loadImage refuses anything at or above IMAGE_SIZE_LIMIT.
    const std::int64_t result =
        xmodemTransmit(image.data.get(), static_cast<std::int32_t>(image.size));
    logPrintf("result = %" PRId64 " (%s)\n", result, retString(result));
    // The run log ends here. With "-l stdout" only a flush happens, so the final word below
    // still reaches standard output.
    closeRunLog();
    const std::int64_t imageSize = image.size;
    image.data.reset();

    // Leave the module time to settle after the transfer, then take whatever it said
    // meanwhile off the line; none of it changes the outcome.
    sleepSeconds(SETTLE_PAUSE_S);
    std::array<std::uint8_t, UART_RECV_SIZE> trailing{};
    (void)Uart_Recv(SERIAL_FD, trailing.data());

    if (result >= imageSize) {
        closeSerial();
        std::puts("SUCCESS");
        return EXIT_UPDATE_DONE;
    }
    std::puts("ERROR: fail to update firmware");
    return EXIT_FAILURE_STATUS;
}
