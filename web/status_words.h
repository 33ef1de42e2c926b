// Plain words for a tool's exit status, for people reading the page.
#ifndef KELTO_WEB_STATUS_WORDS_H
#define KELTO_WEB_STATUS_WORDS_H

#include <string>

namespace kelto::web {

// "success", "the device is not on the bus", ...; a status without words of
// its own (one added to the tools later, a CAN library send status) gets
// "the tool ended with status N", so whatever the tool said still reaches
// the reader through its own "error" text.
std::string statusWords(int status);

}  // namespace kelto::web

#endif
