// The process around a run: its standard descriptors, and how a run ends when it is interrupted.
//
// Principles of operation
// -----------------------
// SIGINT, SIGTERM and SIGHUP are caught for the whole run. The handler only records the first
// of them; nothing else happens inside it. Every wait of the tools (the byte waits on the port,
// the pauses of the command exchanges, the drain before a resent block) looks at that record at
// least every INTERRUPT_CHECK_MS, and so does every line written to the run log or standard
// output (either may block on a pipe or a terminal). Once a signal is there, `endIfInterrupted`
// ends the run from ordinary code, running the clean-ups their owners registered, latest first.
// A run opens its log, then its port, then a backup's file, then starts a transfer, so:
//
//   1. an XMODEM transfer in progress is cancelled with CAN CAN CAN, so the module leaves its
//      receiver or sender at once; outside a transfer nothing is sent (xmodem/);
//   2. a backup removes its temporary file; the previous backup stays as it was (pairvault/);
//   3. the port's serial flags are put back (link/serial.h);
//   4. the run log gets one last line, "ERROR: <strsignal text>"; standard output gets nothing
//      (link/run_log.h);
//   5. the signal's default action is restored and the signal raised again, so the caller sees
//      death by that signal, as if it had never been caught.
//
// A write that blocks on the way out is cut short after half a second, so the process is gone
// within a second of the signal whatever its run log and standard output are connected to.
// Nothing here calls into the rest of the tools but the clean-ups registered with it.
//
// SIGPIPE does nothing: a write to a standard output or run log whose reader has gone fails
// with EPIPE, and the run goes on to its end.
#pragma once

#include <csignal>

// The longest a wait goes without looking whether the run was interrupted.
inline constexpr long INTERRUPT_CHECK_MS = 50;

// The first thing each program does: opens any of descriptors 0, 1 and 2 that is closed on
// /dev/null (so no file or port the run opens can become standard output or error), installs
// the handlers for SIGINT, SIGTERM and SIGHUP, and makes SIGPIPE harmless. Children started
// later (the discovery shell, udevadm) get the default actions back on exec. A signal that
// arrives after the last wait is acted on when the program exits.
void setUpProcess();

// Ends the run as described above when a signal has been recorded; returns at once otherwise.
void endIfInterrupted();

// Sleeps `us` microseconds in steps of at most INTERRUPT_CHECK_MS, ending the run between two
// steps (or when a step is cut short by a signal) once a signal has been recorded.
void sleepInterruptibly(long us);

// A clean-up for the way out of an interrupted run: `fn(arg)`. Registering the same one again
// while it is registered changes nothing, so an owner that may register twice (the run log,
// the port) need not remember. A ninth at once would be a bug in the tools, and aborts.
using InterruptCleanup = void (*)(void* arg);
void pushInterruptCleanup(InterruptCleanup fn, void* arg);
// Unregisters the latest clean-up registered with `arg`; does nothing when there is none.
void popInterruptCleanup(const void* arg);

// The signal that is ending the run, for the clean-ups; 0 while none came.
int interruptingSignal();
