// Internals of the XMODEM engine, exposed for its tests.
#pragma once

// 1 when the check bytes right behind `sz` payload bytes at `buf` are right (CRC-16 high byte
// first when `crc` is non-zero, else the 8-bit checksum), 0 otherwise.
int check(int crc, const unsigned char* buf, int sz);
