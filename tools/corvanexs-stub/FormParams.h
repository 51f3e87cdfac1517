// Decoding of application/x-www-form-urlencoded text, keeping the order of the parameters
// (the server library's own parameter map sorts them by name).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace stub {

using FormParams = std::vector<std::pair<std::string, std::string>>;

// "%XX" becomes its byte and "+" a space; a malformed "%" sequence is kept as it is.
std::string formDecode(const std::string& text);

// Splits at "&" (empty pieces are skipped) and each piece at its first "="; a piece without
// "=" is a name with an empty value.
FormParams parseFormParams(const std::string& text);

}  // namespace stub
