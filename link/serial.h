// The module port: the process-wide descriptor every other part of the tools talks through,
// and the waits that pace every exchange.
//
// Principles of operation
// -----------------------
// The module port (`SERIAL_FD`) is opened non-blocking and set to raw 115200 8N1. Because it is
// non-blocking, VTIME/VMIN never pace a read: a read with nothing waiting fails at once with
// EAGAIN. All timing comes from two waits, both here: `pauseSeconds`, the whole-second pause of
// the command exchanges and the settling times, and `waitForByte`, the 50 ms byte waits that
// `_inbyte` and XMODEM use. Every wait passes the interruption checkpoint (link/interrupt.h).
//
// While a run holds the port, its driver is asked to pass received bytes on at once: the
// module's USB-serial adapter (FT-X family, ftdi_sio) otherwise keeps a short reply, such as
// XMODEM's one-byte ACK, until its 16 ms latency timer fires, which costs every block of a
// stop-and-wait transfer. Open_Serial sets the port's ASYNC_LOW_LATENCY flag when it is clear;
// closeSerial, the process exit and the way out of an interrupted run (a clean-up the port
// registers) put the flags back as they were. A driver without the ioctl (a pseudo-terminal,
// some UARTs) refuses it, which changes nothing.
//
// The port reports its failures and traces through the run log, whose header comes with this
// one. Everything here is single-threaded and reports through integer returns; nothing throws.
#pragma once

#include "link/run_log.h"

#include <cstddef>
#include <cstdint>

// Descriptor of the open module port, -1 while none is open.
extern int SERIAL_FD;

// Fixed constants of the link layer.
inline constexpr unsigned SERIAL_BAUD = 115200;
inline constexpr std::size_t UART_RECV_SIZE = 1024; // every Uart_Recv buffer holds this many
inline constexpr unsigned INBYTE_WAIT_US = 50000;   // one wait of _inbyte
inline constexpr unsigned INBYTE_WAITS_PER_UNIT = 16;

// Sleeps `seconds` whole seconds. An interrupting signal ends the run within INTERRUPT_CHECK_MS
// (link/interrupt.h); no other signal cuts the pause short.
void pauseSeconds(unsigned seconds);

// Opens `path` read-write, non-blocking, close-on-exec, without becoming its controlling
// terminal, and takes an exclusive lock on it. Returns the descriptor, or -1 after logging the
// failing call ("open", "fcntl" or "flock"). Then sets the port's low-latency flag if it was
// clear (see above); whether the driver takes that is neither logged nor reported.
[[nodiscard]] int Open_Serial(const char* path);

// When set, asked about every port openModulePort has opened and locked, before anything is
// written to it: false refuses the port (the check has logged why), which is then closed as
// one that could not be opened. The programs set it at start-up (run/module_state.h).
using PortCheck = bool (*)(int fd, const char* path);
extern PortCheck portCheck;

// Open_Serial, the portCheck and SetComConf: opens `path` into SERIAL_FD and configures it (a
// port that cannot be configured is still used as it is). False when it cannot be opened or
// the check refused it (SERIAL_FD is then -1).
[[nodiscard]] bool openModulePort(const char* path);

// Sets 115200 8N1 fully raw mode (as cfmakeraw: no input, output or local processing, whatever
// another program left set), with CLOCAL, CREAD, no hardware flow control, VTIME 8, VMIN 0.
// Returns 1, or 255 after logging "tcgetattr"/"tcsetattr".
int SetComConf(int fd);

// Puts the port's serial flags back as Open_Serial found them, if it changed them; otherwise
// does nothing. One ioctl with the saved settings, errno kept: the way out of an interrupted
// run calls it wherever that run stood, and it runs at process exit as well.
void restorePortFlags();

// Puts the port's flags back (restorePortFlags), closes SERIAL_FD if open and sets it to -1.
void closeSerial();

// Traces "Send <label>: xx xx ...\n" when label is non-null, discards unsent output, then
// writes all `len` bytes with one write. Returns 1, or 255 after logging "write".
int Uart_Send(int fd, const std::uint8_t* data, std::size_t len, const char* label = nullptr);

// One read of up to UART_RECV_SIZE bytes into `buf` (which must hold that many). Returns the
// count, or -1 when the read fails (including nothing waiting yet); traces
// "Receive <label>: xx ...\n" on success when label is non-null.
int Uart_Recv(int fd, std::uint8_t* buf, const char* label = nullptr);

// Next byte from SERIAL_FD as 0..255, or -1 after `waits` waits of INBYTE_WAIT_US without one.
// A wait ends early as soon as a byte can be read; a hung-up line waits them out in full. Logs
// nothing. Every wait for a byte from the module goes through here.
int waitForByte(unsigned waits);

// waitForByte(`timeout` x INBYTE_WAITS_PER_UNIT), logging "inbyte failed <n> times" when no
// byte came.
int _inbyte(std::uint16_t timeout);

// Writes one byte to SERIAL_FD. Returns 1, or -1 after logging "write".
int _outbyte(int c);

// Discards the port's unsent output (TCOFLUSH). Received input stays queued.
void flushinput();

// Waits until everything written to SERIAL_FD has left the port (tcdrain).
void drainOutput();

// Discards bytes received but not yet read (TCIFLUSH).
void discardInput();
