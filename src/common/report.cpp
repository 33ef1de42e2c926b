#include "report.h"

#include <iostream>

#include "tool.h"

namespace kelto {

void printDocument(const jsonLib& json) {
    std::cout << json.dump(-1, ' ', false, jsonLib::error_handler_t::replace) << std::endl;
}

int reportError(int exitCode) {
    jsonLib json = jsonLib::object();
    const ErrorTable& table = *tool().errorMessages;
    const auto it = table.find(exitCode);
    json["error"] = it == table.end() ? std::string() : it->second;
    printDocument(json);
    return exitCode;
}

}  // namespace kelto
