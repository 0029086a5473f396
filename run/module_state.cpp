#include "run/module_state.h"

#include "link/frames.h"
#include "link/interrupt.h"
#include "link/run_log.h"
#include "link/serial.h"
#include "xmodem/xmodem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

namespace {

enum class Phase { None, Commanded, UnderWay };

struct State {
    bool portSeen = false;     // the first port opening of the run has looked for a mark
    bool leftMark = false;     // a mark an earlier run left, not dealt with yet
    bool metReceiver = false;  // the latest exchange met a receiver waiting from before
    Phase phase = Phase::None; // of a transfer this run started
    TransferKind kind = TransferKind::Update;
    bool markWritten = false;   // this run's own mark
    bool mayHaveOpened = false; // an answer to the transfer's command might have accepted it
    const char* port = "";
};
State state;

std::string markPath() {
    return std::string(RUN_STATE_DIR) + "/" + TRANSFER_MARK;
}

void removeMark() {
    unlink(markPath().c_str());
    state.markWritten = false;
}

void sendCancel() {
    if (SERIAL_FD < 0)
        return;
    drainOutput();
    for (int i = 0; i < 3; ++i)
        (void)_outbyte(CAN);
    drainOutput();
}

// A whole reply frame, 00 01 <code> 08 <n> <n bytes> AA, at the start of what was read.
bool wholeReply(std::span<const std::uint8_t> read) {
    return read.size() > 4 && isReply(read, read[2], read[4], ReplyStart::Judged);
}

// Exactly one status reply to `code` that does not accept it.
bool refusal(std::span<const std::uint8_t> read, std::uint8_t code) {
    return read.size() == FRAME_OVERHEAD + STATUS_LEN &&
           isReply(read, code, STATUS_LEN, ReplyStart::Judged) && read[5] != STATUS_ACCEPTED;
}

// After a silent pause: whether the first byte within RECEIVER_LISTEN_S is an ask.
bool askFollows() {
    const int c = waitForByte(RECEIVER_LISTEN_S * 1000000 / INBYTE_WAIT_US);
    return c == CRC_REQUEST || c == NAK;
}

// Rule 1: the transfer an earlier run left open is ended before the exchange is made again.
void cancelLeftTransfer() {
    logPrintf("A restore or backup that an earlier pairvault run did not finish may still be "
              "open on the module: cancelled it.\n");
    sendCancel();
    pauseSeconds(LEFT_TRANSFER_SETTLE_S);
    discardInput();
    removeMark();
    state.leftMark = false;
}

bool watchExchange(std::uint8_t code, int count, std::span<const std::uint8_t> read) {
    if (state.leftMark) {
        if (wholeReply(read)) {
            removeMark();
            state.leftMark = false;
        } else if (count < 0 || onlyReceiverRequests(read)) {
            cancelLeftTransfer();
            return true;
        }
    }
    // A silent pause ends every exchange but the factory reset's second stage, which asks
    // again instead: only there could the byte listened for be the late reply it waits for.
    const bool asks = count > 0 ? onlyReceiverRequests(read)
                                : count < 0 && code != CMD_FACTORY_RESET && askFollows();
    // Asks behind an answer that may have accepted our own restore or backup command are that
    // transfer's. (Those after an update's start request are a firmware receiver's either way.)
    const bool ours = state.phase == Phase::Commanded && state.mayHaveOpened &&
                      state.kind != TransferKind::Update;
    state.metReceiver = asks && !ours;
    if (state.phase == Phase::Commanded && !state.metReceiver && !refusal(read, code))
        state.mayHaveOpened = true;
    // The update entry's own requests are left to radioflash, for which such an answer is no
    // failure.
    if (state.metReceiver && code != CMD_UPDATE_PREPARE && code != CMD_UPDATE_START)
        noteWaitingReceiver();
    return false;
}

// The first process other than this one that has the device of `fd` open, or 0.
int otherHolder(int fd) {
    struct stat own {};
    if (fstat(fd, &own) != 0 || !S_ISCHR(own.st_mode))
        return 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return 0;
    int found = 0;
    const int me = getpid();
    while (found == 0) {
        const dirent* e = readdir(proc);
        if (e == nullptr)
            break;
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || pid <= 0 || pid == me)
            continue;
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        DIR* dir = opendir(fds.c_str());
        if (dir == nullptr)
            continue;
        while (const dirent* f = readdir(dir)) {
            struct stat st {};
            if (f->d_name[0] != '.' && stat((fds + "/" + f->d_name).c_str(), &st) == 0 &&
                S_ISCHR(st.st_mode) && st.st_rdev == own.st_rdev) {
                found = static_cast<int>(pid);
                break;
            }
        }
        closedir(dir);
    }
    closedir(proc);
    return found;
}

std::string commandOf(int pid) {
    char comm[64] = "";
    if (std::FILE* fp = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re")) {
        if (std::fgets(comm, sizeof comm, fp) == nullptr)
            comm[0] = '\0';
        std::fclose(fp);
    }
    std::string s(comm);
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

bool checkPort(int fd, const char* path) {
    if (const int pid = otherHolder(fd); pid != 0) {
        logPrintf("ERROR: %s is open in process %d (%s)\n", path, pid, commandOf(pid).c_str());
        return false;
    }
    if (!state.portSeen) {
        state.portSeen = true;
        state.port = path;
        state.leftMark = access(markPath().c_str(), F_OK) == 0;
    }
    return true;
}

// The way out of an interrupted run while a transfer of ours may be open.
void cancelOnWayOut(void* /*unused*/) {
    if (state.phase == Phase::Commanded)
        sendCancel(); // the mark stays: the module may accept after the cancel
    else if (state.markWritten)
        removeMark(); // XMODEM has cancelled
}

} // namespace

void watchModule() {
    replyWatcher = watchExchange;
    portCheck = checkPort;
}

void noteWaitingReceiver() {
    static bool noted = false;
    if (noted)
        return;
    noted = true;
    logPrintf("The module is waiting for a firmware image: an update was cut short. "
              "Finish it with radioflash -f <image>.\n");
}

bool receiverMetInLastExchange() {
    return state.metReceiver;
}

int beginModuleTransfer(TransferKind kind) {
    if (kind != TransferKind::Update) {
        const char* what = kind == TransferKind::Restore ? "restore" : "backup";
        const std::string path = markPath();
        int fd = -1;
        if (mkdir(RUN_STATE_DIR, 0700) == 0 || errno == EEXIST)
            fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        const std::string line = std::to_string(getpid()) + " " + what + " " + state.port + "\n";
        if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            logPrintf("ERROR: cannot mark a %s as open: %s: %s\n", what, std::strerror(errno),
                      path.c_str());
            if (fd >= 0)
                close(fd);
            unlink(path.c_str());
            return -1;
        }
        close(fd);
        state.markWritten = true;
    }
    state.phase = Phase::Commanded;
    state.kind = kind;
    // The start request has no refusal: once it is out the receiver may be open.
    state.mayHaveOpened = kind == TransferKind::Update;
    pushInterruptCleanup(cancelOnWayOut, &state);
    return 0;
}

void moduleTransferUnderWay() {
    state.phase = Phase::UnderWay;
}

void endModuleTransfer() {
    if (state.phase == Phase::Commanded && state.mayHaveOpened)
        sendCancel();
    else if (state.markWritten)
        removeMark();
    state.phase = Phase::None;
    popInterruptCleanup(&state);
}
