#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace util {

// Query items or a form body, '&'-separated, percent-decoded. A '+' stays a '+': the client
// sends its items fully encoded with '+' meaning itself, not a space.
using Params = std::multimap<std::string, std::string>;
Params parseForm(std::string_view text);
std::string percentDecode(std::string_view text);
std::string percentEncode(std::string_view text);

// First value of name, or the empty string.
std::string param(const Params &params, const std::string &name);
bool hasParam(const Params &params, const std::string &name);

// White space as the client's trimming understands it (space, \t, \n, \v, \f, \r).
std::string trim(std::string_view text);

std::string md5Hex(std::string_view data);
// Cryptographically random bytes as lower-case hex (2 characters per byte).
std::string randomHex(size_t bytes);
// A random decimal code of the given number of digits.
std::string randomDigits(int digits);

// Whole decimal number without sign, spaces or leading '+'; false when not one or too large.
bool parseUInt(std::string_view text, long long max, long long &value);

bool isDottedIPv4(std::string_view text);
// An IPv6 address in its usual text form, such as ::1; no brackets, no zone.
bool isIPv6(const std::string &text);
bool isValidUtf8(std::string_view text);
// Number of code points of valid UTF-8 text.
size_t utf8Length(std::string_view text);

std::string htmlEscape(std::string_view text);

// "138****0000": enough to tell accounts apart in a log or a default name.
std::string maskedPhone(const std::string &phone);

// The wall clock, for dates that are stored or compared with stored ones.
int64_t nowSeconds();
// A clock that never jumps, for waits and ages that live only in this process.
int64_t steadySeconds();
// "yyyy-MM-dd hh:mm:ss" in UTC.
std::string formatTime(int64_t epochSeconds);

} // namespace util
