// Fuzz target: the loader that reads restore files and firmware images whole, fed arbitrary
// file contents and sizes. The first input byte chooses the file (its low 7 bits); a regular
// file holds the rest of the input, a sparse one takes its size from it.
// Oracle: each kind of file gives exactly the documented outcome, and a loaded file's bytes
// are the file's bytes.
#include "filetransfer/send_file.h"
#include "fuzz/oracle.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

enum Kind : std::uint8_t { Regular, Sparse, Directory, Fifo, CharDevice, Missing, KINDS };

// One memory-backed regular file per process, rewritten for every input, and a directory
// holding a FIFO that never gets a writer.
struct Files {
    int fd = -1;
    std::string regular;
    std::string dir;
    std::string fifo;
    std::string missing;
};

void removeFiles();

const Files& files() {
    // Never destroyed: the files are removed at exit, after static objects are gone.
    static const Files& f = *[] {
        auto* made = new Files;
        made->fd = memfd_create("send_file", MFD_CLOEXEC);
        char tmpl[] = "/tmp/fuzz-send-file.XXXXXX";
        if (made->fd < 0 || mkdtemp(tmpl) == nullptr)
            fuzzFail("cannot set up the files to load");
        made->regular = "/proc/self/fd/" + std::to_string(made->fd);
        made->dir = tmpl;
        made->fifo = made->dir + "/fifo";
        made->missing = made->dir + "/missing";
        if (mkfifo(made->fifo.c_str(), 0600) != 0)
            fuzzFail("cannot make the FIFO");
        std::atexit(removeFiles);
        return made;
    }();
    return f;
}

void removeFiles() {
    unlink(files().fifo.c_str());
    rmdir(files().dir.c_str());
}

void expectFailure(const LoadResult& r, LoadStep step, int err) {
    if (r.failedStep != step || r.err != err)
        fuzzFail("the load failed under the wrong step or errno");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const Files& f = files();
    const auto kind = static_cast<Kind>((data[0] & 0x7F) % KINDS);
    const std::uint8_t* contents = data + 1;
    const std::size_t length = size - 1;

    const char* path = f.regular.c_str();
    off_t sparseSize = 0;
    if (kind == Regular || kind == Sparse) {
        if (ftruncate(f.fd, 0) != 0)
            fuzzFail("cannot empty the file");
        if (kind == Regular && length > 0 &&
            pwrite(f.fd, contents, length, 0) != static_cast<ssize_t>(length))
            fuzzFail("cannot write the file");
        // Sparse: always beyond what the sender can carry (a file it could carry would be
        // read whole, gigabytes of it).
        if (kind == Sparse) {
            std::uint64_t extra = 0;
            for (std::size_t i = 0; i < length && i < 5; ++i)
                extra = extra << 8 | contents[i];
            sparseSize = static_cast<off_t>(XMODEM_MAX_SEND_SIZE + 1 + extra);
            if (ftruncate(f.fd, sparseSize) != 0)
                fuzzFail("cannot size the sparse file");
        }
    } else if (kind == Directory) {
        path = f.dir.c_str();
    } else if (kind == Fifo) {
        path = f.fifo.c_str();
    } else if (kind == CharDevice) {
        path = "/dev/null";
    } else {
        path = f.missing.c_str();
    }

    SendFile out;
    const LoadResult r = loadSendFile(path, out);
    switch (kind) {
    case Regular:
        if (length == 0) {
            expectFailure(r, LoadStep::Size, ENODATA);
            break;
        }
        if (r.failedStep != LoadStep::None || out.size != static_cast<std::int64_t>(length) ||
            !out.data || (length > 0 && std::memcmp(out.data.get(), contents, length) != 0))
            fuzzFail("a regular file was not loaded whole and exact");
        break;
    case Sparse:
        expectFailure(r, LoadStep::Size, EFBIG);
        break;
    case Directory:
        expectFailure(r, LoadStep::Read, EISDIR);
        break;
    case Fifo:
    case CharDevice:
        expectFailure(r, LoadStep::Seek, ESPIPE);
        break;
    default:
        expectFailure(r, LoadStep::Open, ENOENT);
        break;
    }
    if (r.failedStep != LoadStep::None && out.data)
        fuzzFail("a failed load handed out data");
    return 0;
}
