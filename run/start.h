// The start of a run, the same in both programs once their command line is parsed: the run log
// first, then the module's port, chosen but not yet opened; and the watch both keep on the
// module and its port (run/module_state.h).
#pragma once

inline constexpr const char* HUB_PORT = "/dev/ttyS4"; // the hub's on-board module port

// Opens the run log (openRunLog with `logValue`, `programWord` and runStartTime()), then
// chooses the module port: HUB_PORT when `onBoard`, otherwise the adapter that discovery finds
// (getZigbeeDeviceName), and logs "device: <port>". From then on every port opening and every
// exchange with the module is watched (watchModule). When no adapter is found prints
// `notFoundLine` on standard output and logs "ERROR: cannot find Zigbee device.". Returns the
// port, or nullptr when the run cannot go on.
const char* startRun(const char* logValue, const char* programWord, bool onBoard,
                     const char* notFoundLine);
