#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

// Structured log lines on stderr, one event per line:
//   2026-12-07T22:00:00.123Z level=info comp=relay event=login tunnel=3 port=20000
// Values with spaces, quotes or '=' are quoted. Secrets (passwords, tokens) are never passed in.
namespace logx {

enum class Level { Debug, Info, Warn, Error };

void setLevel(Level level);
bool parseLevel(std::string_view text, Level &level);
bool enabled(Level level);

using Fields = std::initializer_list<std::pair<std::string_view, std::string>>;
void write(Level level, std::string_view comp, std::string_view event, Fields fields = {});

inline void debug(std::string_view comp, std::string_view event, Fields fields = {})
{
    if (enabled(Level::Debug))
        write(Level::Debug, comp, event, fields);
}
inline void info(std::string_view comp, std::string_view event, Fields fields = {})
{
    write(Level::Info, comp, event, fields);
}
inline void warn(std::string_view comp, std::string_view event, Fields fields = {})
{
    write(Level::Warn, comp, event, fields);
}
inline void error(std::string_view comp, std::string_view event, Fields fields = {})
{
    write(Level::Error, comp, event, fields);
}

// Connections turned away, counted per kind and logged at most once a second per kind
// (event=refused kind=... count=<since the last line> total=...), so a flood cannot fill the
// log. Safe to use from several threads.
class Refusals
{
public:
    explicit Refusals(std::string comp) : comp(std::move(comp)) {}
    void note(const std::string &kind);

private:
    struct Count
    {
        uint64_t total = 0;
        uint64_t sinceLog = 0;
        std::chrono::steady_clock::time_point logged{};
    };
    std::string comp;
    std::mutex mutex;
    std::map<std::string, Count> counts;
};

// Keeps the first and last characters of a token so lines can be matched up without leaking it.
std::string mask(std::string_view secret);

} // namespace logx
