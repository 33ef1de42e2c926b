// Command line of kelto_torvexc. The checks run in a fixed order and the
// first that fails ends the run with its code:
//   (none) 20 | scan, version (any case) | other single word 21
//   | firmware (any case) PATH | unknown command word 30 | ID not digits 22
//   | ID not 1..59 23 | ID not heard 10 | name... | firmware PATH
//   | two or more values 24 | non-digit value 25 | id NEWID | serial
//   | versions | blink S | FIELD [VALUE]: set then get, or get
#include "cli.h"
#include "commands.h"
#include "fields.h"
#include "numeral.h"
#include "presence.h"
#include "report.h"
#include "torvexc_tables.h"

namespace torvexc {

namespace {

// The forms with a single argument, in any letter case.
int singleWord(const char* word) {
    if (kelto::strEq(word, "scan")) return kelto::scan();
    if (kelto::strEq(word, "version")) return kelto::versionQuery();
    return exitSD(kelto::BAD_FIRST_ARGUMENT);
}

// ID FIELD [VALUE]: writes the value when there is one, then reads the
// field back. A value outside the signed 32-bit range is refused with 25
// and nothing is sent.
int fieldCommand(uint32_t messageID, int argc, char** argv) {
    if (argc == 4) {
        int value = 0;
        if (!kelto::toInt32(argv[3], &value)) return exitSD(kelto::BAD_VALUE);
        kelto::set(messageID, argv[3]);
    }
    return kelto::get(messageID, argv[2]);
}

}  // namespace

int exitSD(int exitCode) {
    return kelto::reportError(exitCode);
}

int torvexcMain(int argc, char** argv) {
    if (argc <= 1) return exitSD(kelto::NO_ARGUMENTS);
    if (argc == 2) return singleWord(argv[1]);
    if (kelto::strEq(argv[1], "firmware")) return kelto::firmwareForm(0, argc, argv, 2);

    uint32_t messageID = 0;
    uint8_t id = 0;
    if (const auto decided = kelto::deviceCommand(argc, argv, &messageID, &id)) return *decided;
    if (argc > 4) return exitSD(kelto::TOO_MANY_ARGUMENTS);
    if (argc == 4 && !kelto::isInt(argv[3])) return exitSD(kelto::BAD_VALUE);
    if (const auto decided = kelto::deviceAction(argv[2], messageID, id, argc, argv))
        return *decided;
    return fieldCommand(messageID, argc, argv);
}

}  // namespace torvexc
