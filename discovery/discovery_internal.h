// Discovery with a substitute directory, and the reading of udevadm's answer, for tests.
#pragma once

#include <cstdio>

// As getZigbeeDeviceName, listing `dir` instead of the sysfs directory.
char* getZigbeeDeviceNameIn(const char* dir);

// 1 when the "udevadm info" output read from `out` (to its end) names the module's adapter by
// its last "ID_VENDOR_ID=" and "ID_MODEL_ID=" values, 0 otherwise.
int udevadmOutputMatches(FILE* out);
