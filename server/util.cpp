#include "util.h"

#include <arpa/inet.h>

#include <sodium.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>

namespace util {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string percentDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(c);
    }
    return out;
}

std::string percentEncode(std::string_view text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
    }
    return out;
}

Params parseForm(std::string_view text)
{
    Params params;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('&', pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view item = text.substr(pos, end - pos);
        if (!item.empty()) {
            const size_t eq = item.find('=');
            if (eq == std::string_view::npos)
                params.emplace(percentDecode(item), std::string());
            else
                params.emplace(percentDecode(item.substr(0, eq)),
                               percentDecode(item.substr(eq + 1)));
        }
        pos = end + 1;
    }
    return params;
}

std::string param(const Params &params, const std::string &name)
{
    const auto it = params.find(name);
    return it == params.end() ? std::string() : it->second;
}

bool hasParam(const Params &params, const std::string &name)
{
    return params.find(name) != params.end();
}

std::string trim(std::string_view text)
{
    const char *ws = " \t\n\v\f\r";
    const size_t first = text.find_first_not_of(ws);
    if (first == std::string_view::npos)
        return std::string();
    const size_t last = text.find_last_not_of(ws);
    return std::string(text.substr(first, last - first + 1));
}

// MD5 (RFC 1321). Only the code request's signature needs it; it protects nothing secret.
namespace {

struct Md5
{
    uint32_t a = 0x67452301, b = 0xefcdab89, c = 0x98badcfe, d = 0x10325476;

    static uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

    void block(const unsigned char *p)
    {
        static const uint32_t k[64] = {
            0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
            0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
            0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
            0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
            0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
            0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
            0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
            0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
            0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
            0xeb86d391};
        static const int r[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                  5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                  4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                  6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
        uint32_t w[16];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t(p[i * 4]) | uint32_t(p[i * 4 + 1]) << 8 | uint32_t(p[i * 4 + 2]) << 16 |
                   uint32_t(p[i * 4 + 3]) << 24;
        uint32_t aa = a, bb = b, cc = c, dd = d;
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (bb & cc) | (~bb & dd);
                g = i;
            } else if (i < 32) {
                f = (dd & bb) | (~dd & cc);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = bb ^ cc ^ dd;
                g = (3 * i + 5) % 16;
            } else {
                f = cc ^ (bb | ~dd);
                g = (7 * i) % 16;
            }
            const uint32_t tmp = dd;
            dd = cc;
            cc = bb;
            bb = bb + rotl(aa + f + k[i] + w[g], r[i]);
            aa = tmp;
        }
        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
};

} // namespace

std::string md5Hex(std::string_view data)
{
    Md5 m;
    std::string msg(data);
    const uint64_t bits = uint64_t(data.size()) * 8;
    msg.push_back(static_cast<char>(0x80));
    while (msg.size() % 64 != 56)
        msg.push_back('\0');
    for (int i = 0; i < 8; ++i)
        msg.push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
    for (size_t off = 0; off < msg.size(); off += 64)
        m.block(reinterpret_cast<const unsigned char *>(msg.data() + off));
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (uint32_t v : {m.a, m.b, m.c, m.d}) {
        for (int i = 0; i < 4; ++i) {
            const unsigned byte = (v >> (8 * i)) & 0xff;
            out.push_back(hex[byte >> 4]);
            out.push_back(hex[byte & 15]);
        }
    }
    return out;
}

std::string randomHex(size_t bytes)
{
    std::string raw(bytes, '\0');
    randombytes_buf(raw.data(), raw.size());
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes * 2);
    for (unsigned char c : raw) {
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
    }
    return out;
}

std::string randomDigits(int digits)
{
    std::string out;
    for (int i = 0; i < digits; ++i)
        out.push_back(static_cast<char>('0' + randombytes_uniform(10)));
    return out;
}

bool parseUInt(std::string_view text, long long max, long long &value)
{
    if (text.empty() || text.size() > 18)
        return false;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v > max)
        return false;
    value = v;
    return true;
}

bool isIPv6(const std::string &text)
{
    in6_addr addr{};
    return ::inet_pton(AF_INET6, text.c_str(), &addr) == 1;
}

bool isDottedIPv4(std::string_view text)
{
    int parts = 0;
    size_t pos = 0;
    while (true) {
        size_t end = text.find('.', pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view part = text.substr(pos, end - pos);
        long long v;
        if (part.empty() || part.size() > 3 || !parseUInt(part, 255, v))
            return false;
        ++parts;
        if (end == text.size())
            break;
        pos = end + 1;
    }
    return parts == 4;
}

bool isValidUtf8(std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int extra;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            extra = 1;
            cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            extra = 2;
            cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size())
            return false;
        for (int k = 1; k <= extra; ++k) {
            const unsigned char cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xc0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3f);
        }
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) ||
            (extra == 3 && (cp < 0x10000 || cp > 0x10ffff)) || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        i += extra + 1;
    }
    return true;
}

size_t utf8Length(std::string_view text)
{
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xc0) != 0x80)
            ++n;
    return n;
}

std::string htmlEscape(std::string_view text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

int64_t nowSeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t steadySeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string formatTime(int64_t epochSeconds)
{
    const std::time_t t = static_cast<std::time_t>(epochSeconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string maskedPhone(const std::string &phone)
{
    return phone.size() == 11 ? phone.substr(0, 3) + "****" + phone.substr(7)
                              : std::string(phone.size(), '*');
}

} // namespace util
