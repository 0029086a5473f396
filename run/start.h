// The start of a run, the same in both programs once their command line is parsed: the run log
// first, then the module's port, chosen but not yet opened; and the watch both keep on the
// module's replies.
#pragma once

inline constexpr const char* HUB_PORT = "/dev/ttyS4"; // the hub's on-board module port

// Opens the run log (openRunLog with `logValue`, `programWord` and runStartTime()), then
// chooses the module port: HUB_PORT when `onBoard`, otherwise the adapter that discovery finds
// (getZigbeeDeviceName), and logs "device: <port>". From then on every reply of the module is
// watched (replyWatcher): one that holds nothing but a waiting receiver's requests, to any
// request but the update entry's own, is noteWaitingReceiver. When no adapter is found prints
// `notFoundLine` on standard output and logs "ERROR: cannot find Zigbee device.". Returns the
// port, or nullptr when the run cannot go on.
const char* startRun(const char* logValue, const char* programWord, bool onBoard,
                     const char* notFoundLine);

// Tells the run log, once a run, that the module waits for a firmware image and how to finish
// the update. The outcome of the run is not changed by it.
void noteWaitingReceiver();
