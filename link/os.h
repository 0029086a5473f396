// The operating-system calls under the link layer: the module port and the monotonic clock.
//
// Principles of operation
// -----------------------
// Every byte that crosses the module port and every pause the tools take goes through these
// few calls, and through nothing else. The programs link the real ones (os.cpp, the `link_os`
// library), which are the plain POSIX calls. The fuzz targets link a fake in their place
// (fuzz/fake_line.cpp) that plays the line from the fuzz input and keeps a virtual clock, so a
// run that would take minutes on a real line ends in microseconds. The substitution happens at
// link time: the fake defines every function declared here, so the linker never takes the
// real object from its archive, and a fake that missed one would not link.
//
// Each call has the contract of the POSIX call it stands for, errno included.
#pragma once

#include <cstddef>
#include <ctime>
#include <sys/types.h>

// poll() for POLLIN on `fd` alone: > 0 when it reported the descriptor (readable or hung up),
// 0 when `timeoutMs` passed, -1 with errno (EINTR included).
int osPoll(int fd, int timeoutMs);

// read() and write() on the port.
ssize_t osRead(int fd, void* buf, std::size_t len);
ssize_t osWrite(int fd, const void* buf, std::size_t len);

// tcflush() with TCIFLUSH, TCOFLUSH or TCIOFLUSH, and tcdrain().
int osFlush(int fd, int queue);
int osDrain(int fd);

// CLOCK_MONOTONIC.
timespec osNow();

// Microseconds from `start` to osNow().
inline long microsSince(const timespec& start) {
    const timespec now = osNow();
    return (now.tv_sec - start.tv_sec) * 1000000L + (now.tv_nsec - start.tv_nsec) / 1000L;
}

// nanosleep(): -1 with EINTR and the time left in `rest` when a signal cut it short.
int osSleep(const timespec& length, timespec* rest);
