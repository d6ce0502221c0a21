#include "metrics.h"

#include <map>
#include <mutex>
#include <utility>

namespace metrics {

namespace {

// Far more than the service's routes, statuses and refusal kinds: a bound, not a budget.
constexpr size_t MaxSeries = 512;

std::mutex mutex;
std::map<std::pair<std::string, std::string>, uint64_t> refusals;
std::map<std::pair<std::string, int>, uint64_t> requests;

void header(std::string &out, const char *name, const char *type, const char *help)
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

template <class T> void line(std::string &out, const char *name, T value)
{
    out += std::string(name) + " " + std::to_string(value) + "\n";
}

} // namespace

Relay &figures()
{
    static Relay relay;
    return relay;
}

void noteRefusal(const std::string &component, const std::string &kind)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto key = std::make_pair(component, kind);
    if (refusals.size() < MaxSeries || refusals.count(key))
        ++refusals[key];
}

void noteRequest(const std::string &route, int status)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto key = std::make_pair(route, status);
    if (requests.size() < MaxSeries || requests.count(key))
        ++requests[key];
}

std::string render()
{
    const Relay &r = figures();
    std::string out;
    header(out, "borvane_tunnels_online", "gauge", "Tunnels signed in to the relay.");
    line(out, "borvane_tunnels_online", r.tunnelsOnline.load(std::memory_order_relaxed));
    header(out, "borvane_visitors_active", "gauge", "Visitors connected through a tunnel now.");
    line(out, "borvane_visitors_active", r.visitorsActive.load(std::memory_order_relaxed));
    header(out, "borvane_visitors_total", "counter", "Visitors accepted since the start.");
    line(out, "borvane_visitors_total", r.visitorsTotal.load(std::memory_order_relaxed));
    header(out, "borvane_relayed_bytes_total", "counter", "Bytes relayed, by direction.");
    out += "borvane_relayed_bytes_total{direction=\"up\"} " +
           std::to_string(r.bytes[0].load(std::memory_order_relaxed)) + "\n";
    out += "borvane_relayed_bytes_total{direction=\"down\"} " +
           std::to_string(r.bytes[1].load(std::memory_order_relaxed)) + "\n";
    header(out, "borvane_signin_failures_total", "counter", "Refused API sign-ins.");
    line(out, "borvane_signin_failures_total", r.signinFailures.load(std::memory_order_relaxed));

    std::lock_guard<std::mutex> lock(mutex);
    header(out, "borvane_refusals_total", "counter", "Connections turned away, by kind.");
    for (const auto &e : refusals)
        out += "borvane_refusals_total{component=\"" + e.first.first + "\",kind=\"" +
               e.first.second + "\"} " + std::to_string(e.second) + "\n";
    header(out, "borvane_api_requests_total", "counter", "API requests, by route and status.");
    for (const auto &e : requests)
        out += "borvane_api_requests_total{route=\"" + e.first.first + "\",status=\"" +
               std::to_string(e.first.second) + "\"} " + std::to_string(e.second) + "\n";
    return out;
}

} // namespace metrics
