// Shared driver of the command-line fuzz targets: turns a fuzz input into an
// argument vector and runs one tool's command line on a simulated bus with a
// few devices, on virtual time so that waits cost nothing.
//
// Input layout: arguments separated by NUL bytes, at most 12 of them.
//   "5\0name\0ab\0cd" -> kelto_tool 5 name ab cd
#ifndef KELTO_TESTS_FUZZ_CLI_FUZZ_H
#define KELTO_TESTS_FUZZ_CLI_FUZZ_H

#include <cstddef>
#include <cstdint>

#include "tool.h"

// Runs `toolMain` with the arguments in data[0..size). The bus is restored
// to the same devices before every run. A run that would wait longer than
// one virtual minute (the endless recovery search) is cut short.
int runCliFuzz(const kelto::ToolProfile& profile, int (*toolMain)(int, char**), const uint8_t* data,
               size_t size);

#endif
