#include "log.h"

#include "metrics.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace logx {

namespace {

std::atomic<int> minLevel{static_cast<int>(Level::Info)};
std::mutex writeMutex;

const char *levelName(Level level)
{
    switch (level) {
    case Level::Debug:
        return "debug";
    case Level::Info:
        return "info";
    case Level::Warn:
        return "warn";
    case Level::Error:
        return "error";
    }
    return "info";
}

void appendValue(std::string &line, std::string_view value)
{
    bool quote = value.empty();
    for (char c : value) {
        if (c == ' ' || c == '"' || c == '=' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
            quote = true;
    }
    if (!quote) {
        line.append(value);
        return;
    }
    line.push_back('"');
    for (char c : value) {
        if (c == '"' || c == '\\') {
            line.push_back('\\');
            line.push_back(c);
        } else if (c == '\n') {
            line += "\\n";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            line.push_back('?');
        } else {
            line.push_back(c);
        }
    }
    line.push_back('"');
}

} // namespace

void setLevel(Level level)
{
    minLevel = static_cast<int>(level);
}

bool parseLevel(std::string_view text, Level &level)
{
    if (text == "debug")
        level = Level::Debug;
    else if (text == "info")
        level = Level::Info;
    else if (text == "warn")
        level = Level::Warn;
    else if (text == "error")
        level = Level::Error;
    else
        return false;
    return true;
}

bool enabled(Level level)
{
    return static_cast<int>(level) >= minLevel.load();
}

void write(Level level, std::string_view comp, std::string_view event, Fields fields)
{
    if (!enabled(level))
        return;
    const auto now = std::chrono::system_clock::now();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char stamp[40];
    const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03dZ", static_cast<int>(ms % 1000));

    std::string line = stamp;
    line += " level=";
    line += levelName(level);
    line += " comp=";
    line.append(comp);
    line += " event=";
    line.append(event);
    for (const auto &field : fields) {
        line.push_back(' ');
        line.append(field.first);
        line.push_back('=');
        appendValue(line, field.second);
    }
    line.push_back('\n');
    std::lock_guard<std::mutex> lock(writeMutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void Refusals::note(const std::string &kind)
{
    metrics::noteRefusal(comp, kind);
    std::lock_guard<std::mutex> lock(mutex);
    Count &c = counts[kind];
    ++c.total;
    ++c.sinceLog;
    const auto now = std::chrono::steady_clock::now();
    if (now - c.logged < std::chrono::seconds(1))
        return;
    warn(comp, "refused",
         {{"kind", kind},
          {"count", std::to_string(c.sinceLog)},
          {"total", std::to_string(c.total)}});
    c.sinceLog = 0;
    c.logged = now;
}

std::string mask(std::string_view secret)
{
    if (secret.size() <= 8)
        return std::string(secret.size(), '*');
    return std::string(secret.substr(0, 4)) + "..." + std::string(secret.substr(secret.size() - 4));
}

} // namespace logx
