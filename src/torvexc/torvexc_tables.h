// Tables of kelto_torvexc, the motor-controller tool.
#ifndef KELTO_TORVEXC_TORVEXC_TABLES_H
#define KELTO_TORVEXC_TORVEXC_TABLES_H

#include "tool.h"

namespace torvexc {

extern const kelto::MessageIdTable MESSAGE_ID;
extern const kelto::ErrorTable ERROR_MESSAGE;
extern const kelto::ToolProfile PROFILE;

// The command line; returns the exit status. PROFILE must be selected.
int torvexcMain(int argc, char** argv);

// Prints the error document of exitCode and returns exitCode.
int exitSD(int exitCode);

}  // namespace torvexc

#endif
