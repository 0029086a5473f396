// Finds the USB-serial adapter that carries the Zigbee module (the hub's on-board port needs
// no finding: run/start.h).
//
// Lists /sys/bus/usb-serial/devices in the order the directory yields it, asks
// "udevadm info /dev/<name>" about each entry and takes the first whose ID_VENDOR_ID is "0403"
// and ID_MODEL_ID is "6015", compared as text. Only failures to list the directory or to start
// the query are logged.
#pragma once

#include <dirent.h>

inline constexpr const char* USB_SERIAL_DIR = "/sys/bus/usb-serial/devices";
inline constexpr const char* ZIGBEE_VENDOR_ID = "0403";
inline constexpr const char* ZIGBEE_MODEL_ID = "6015";

// "/dev/<name>" of the first matching adapter (static storage, valid until the next call), or
// nullptr when none matches or the directory cannot be listed.
char* getZigbeeDeviceName();

// 1 when the port named `entryName` has the expected vendor and model IDs, 0 otherwise
// (including when the query cannot be started).
int isZigbeeDevice(const char* entryName);

// Listing filter: 0 for names beginning with '.', 1 otherwise.
int selectDir(const struct dirent* entry);
