// Discovery with a substitute directory, for tests.
#pragma once

// As getZigbeeDeviceName, listing `dir` instead of the sysfs directory.
char* getZigbeeDeviceNameIn(const char* dir);
