// The decimal conversion of every value a tool sends: lighting bytes and
// motor settings (the standard stoi: leading white space, an optional sign,
// then digits), without exceptions.
//   toInt32("300", &v) -> true, v == 300   toInt32("", &v) -> false
//   toInt32("99999999999", &v) -> false (outside the signed 32-bit range)
#ifndef KELTO_COMMON_NUMERAL_H
#define KELTO_COMMON_NUMERAL_H

namespace kelto {

// False, with *value unchanged, when there is no digit or the value lies
// outside the signed 32-bit range.
bool toInt32(const char* text, int* value);

}  // namespace kelto

#endif
