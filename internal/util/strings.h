// Text helpers shared by messages: printf-style formatting and quoting.
#pragma once

#include <string>
#include <string_view>

namespace util {

// printf into a std::string.
std::string Sprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A string in double quotes the way the messages' "%q" shows it: a backslash
// before '"' and '\\', \a \b \f \n \r \t \v for those controls, \xNN for other
// bytes below 0x20, 0x7f and invalid UTF-8, \uNNNN / \UNNNNNNNN for
// non-printable code points; printable UTF-8 kept as is.
std::string Quote(std::string_view s);

}  // namespace util
