// What may be waiting on the module's side of the line, across runs, and who else has its port.
//
// Principles of operation
// -----------------------
// A 'C' or NAK on the line (an "ask") means that some XMODEM receiver on the module waits for
// its sender; it does not say which. Three transfers can be left open on the module:
//
//   - the firmware receiver of an update that was cut short. It may be all the module has left
//     (the old image can be gone), it asks for ever, and it outlives a power loss;
//   - the restore receiver and the backup sender (which waits without a word) of a pairvault
//     run. They belong to the running firmware: a power loss ends them, and so does the cancel
//     (CAN CAN CAN) that every run of ours sends on its way out of a transfer it started
//     (beginModuleTransfer). Only a run that never reached its way out (SIGKILL, a crash) can
//     leave one open on a powered module.
//
// So pairvault keeps a mark, TRANSFER_MARK in RUN_STATE_DIR, from just before it sends a
// command that starts a transfer until it knows the module's side of it is closed. /run is
// emptied at every boot, as the module's own transfers are by a power loss.
//
// The rule, the same in every mode of both programs (watchExchange):
//   1. A mark that is there when a run first opens the port was left by an earlier run: a
//      restore receiver or backup sender may be open. While it stands, an answer that is
//      nothing but asks, or no answer at all, is taken for that transfer: it is cancelled, the
//      mark removed, and the exchange made once more. A whole reply frame removes the mark
//      too: a module that reads frames has no transfer open.
//   2. Otherwise, asks that answer a request (or follow a silent pause: a receiver may ask only
//      every few seconds) come from a receiver that was waiting before the request: the
//      firmware receiver of a cut update. Only then is the waiting line logged, and only then
//      may radioflash send the image without a start request. Asks that follow a pairvault
//      transfer command which the module may have accepted are that command's own receiver's,
//      never taken for a cut update.
//
// A run that finds no mark never sends a CAN to a receiver it did not start, so the recovery of
// a stranded module does not depend on what its boot loader makes of one.
//
// Before the first frame every run also looks for any other process that has the port's device
// open (the flock keeps our own runs apart, but not the hub's Zigbee host or a modem manager),
// and refuses the port as a busy one when there is.
#pragma once

#include <cstdint>

inline constexpr const char* RUN_STATE_DIR = "/run/zigbee-module-tools";
inline constexpr const char* TRANSFER_MARK = "transfer-open";
// After a silent pause: how long to listen for a receiver that asks only every few seconds.
inline constexpr unsigned RECEIVER_LISTEN_S = 3;
// After cancelling a transfer an earlier run left open: time for the module to leave it.
inline constexpr unsigned LEFT_TRANSFER_SETTLE_S = 1;

// Installs the watch on every exchange (replyWatcher) and the check of every port opened
// (portCheck). startRun calls it.
void watchModule();

// Tells the run log, once a run, that the module waits for a firmware image and how to finish
// the update. The outcome of the run is not changed by it.
void noteWaitingReceiver();

// Whether the latest exchange met a receiver waiting from before it (rule 2 above): its answer
// was nothing but asks, or silence and then an ask.
[[nodiscard]] bool receiverMetInLastExchange();

enum class TransferKind { Restore, Backup, Update };

// Before the request that makes the module start a transfer. For a restore or a backup writes
// the mark; 0, or -1 after logging why it could not be written (nothing may be sent then).
// From here until endModuleTransfer every way out of the run cancels the transfer first.
[[nodiscard]] int beginModuleTransfer(TransferKind kind);
// Right before XMODEM takes the line: from here on it cancels on its own ways out.
void moduleTransferUnderWay();
// The transfer, or the attempt to start it, is over. Before it was under way: when the module
// may have accepted the command (an answer not read whole, garbled, late, or none), sends CAN
// CAN CAN and keeps the mark; when every answer was a refusal, or asks from a receiver that was
// waiting before, neither. Once under way: removes the mark.
void endModuleTransfer();
