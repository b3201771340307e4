#pragma once
// File names as a terminal may safely show them.

#include <string>
#include <string_view>

namespace corvale {

// `text` with every control character written out, so that a file name cannot
// break a line or send a terminal commands: newline, carriage return and tab as
// \n, \r and \t, the other C0 controls and DEL as \xNN, and the C1 controls
// (U+0080 to U+009F, two bytes in UTF-8) as \u00NN. A backslash is doubled, so
// the shown text reads back unambiguously. Everything else, invalid UTF-8
// included, is kept byte for byte.
std::string escapeControlCharacters(std::string_view text);

}  // namespace corvale
