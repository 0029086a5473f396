// Runs a program for a test with its standard error on a pseudo-terminal, the way a person at
// a terminal would see it, while standard output still goes to a pipe.
#pragma once

#include "tests/support/process.h"

#include <string>
#include <vector>

// As runProcess, except that standard error is the slave side of a fresh raw pseudo-terminal
// `columns` wide; `err` is everything the program wrote to it, byte for byte (raw mode: no
// newline translation).
ProcessResult runProcessOnTerminal(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& env = {},
                                   double timeoutSeconds = 120, int columns = 100);
