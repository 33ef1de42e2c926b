// Tables of kelto_lumabar, the lighting-controller tool.
#ifndef KELTO_LUMABAR_LUMABAR_TABLES_H
#define KELTO_LUMABAR_LUMABAR_TABLES_H

#include "tool.h"

namespace lumabar {

extern const kelto::MessageIdTable MESSAGE_ID;
extern const kelto::ErrorTable ERROR_MESSAGE;
extern const kelto::ToolProfile PROFILE;

// The command line; returns the exit status. PROFILE must be selected.
int lumabarMain(int argc, char** argv);

// Prints the error document of exitCode and returns exitCode.
int exitWithError(int exitCode);

}  // namespace lumabar

#endif
