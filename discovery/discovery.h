// Finds the port of the Zigbee module: the hub's on-board port when the caller says so,
// otherwise the USB-serial adapter that carries the module.
//
// Lists /sys/bus/usb-serial/devices in the order the directory yields it, asks
// "udevadm info /dev/<name>" about each entry and takes the first whose ID_VENDOR_ID is "0403"
// and ID_MODEL_ID is "6015", compared as text. Only failures to list the directory or to start
// the query are logged.
#pragma once

#include <dirent.h>

inline constexpr const char* HUB_PORT = "/dev/ttyS4"; // the hub's on-board module port
inline constexpr const char* USB_SERIAL_DIR = "/sys/bus/usb-serial/devices";
inline constexpr const char* ZIGBEE_VENDOR_ID = "0403";
inline constexpr const char* ZIGBEE_MODEL_ID = "6015";

// The start both programs share once their command line is parsed: opens the run log
// (openRunLog with `logValue`, `programWord` and runStartTime()), then chooses the module port:
// HUB_PORT when `onBoard`, otherwise getZigbeeDeviceName(), and logs "device: <port>". When no
// adapter is found prints `notFoundLine` on standard output and logs "ERROR: cannot find Zigbee
// device.". Returns the port, or nullptr when the run cannot go on.
const char* startRun(const char* logValue, const char* programWord, bool onBoard,
                     const char* notFoundLine);

// "/dev/<name>" of the first matching adapter (static storage, valid until the next call), or
// nullptr when none matches or the directory cannot be listed.
char* getZigbeeDeviceName();

// 1 when the port named `entryName` has the expected vendor and model IDs, 0 otherwise
// (including when the query cannot be started).
int isZigbeeDevice(const char* entryName);

// Listing filter: 0 for names beginning with '.', 1 otherwise.
int selectDir(const struct dirent* entry);
