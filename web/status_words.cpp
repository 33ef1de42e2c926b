#include "status_words.h"

#include <map>

namespace kelto::web {

namespace {

const std::map<int, const char*> STATUS_WORDS = {
    {0, "success"},
    {10, "the device is not on the bus"},
    {12, "no devices found on the bus"},
    {13, "the device did not answer"},
    {14, "the new ID is already taken on the bus"},
    {20, "the tool was given no arguments"},
    {21, "the tool did not recognise the command"},
    {22, "the device ID is not a number"},
    {23, "the device ID is outside 1 to 59"},
    {24, "the tool was given too many arguments"},
    {25, "a value is not a number the tool accepts"},
    {26, "the firmware file was rejected; nothing was sent"},
    {27, "this field cannot be written"},
    {28, "this field needs a value"},
    {29, "the firmware path contains spaces"},
    {30, "the tool did not recognise the command"},
    {31, "the name is longer than 8 bytes"},
    {99, "lighting command sent"},
};

}  // namespace

std::string statusWords(int status) {
    auto it = STATUS_WORDS.find(status);
    if (it != STATUS_WORDS.end()) return it->second;
    return "the tool ended with status " + std::to_string(status);
}

}  // namespace kelto::web
