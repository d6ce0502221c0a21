#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Figures for the operator, served as Prometheus text at /metrics. What the data path counts
// is a relaxed atomic; requests and refusals, counted once each, go under a mutex.
namespace metrics {

struct Relay
{
    std::atomic<int64_t> tunnelsOnline{0};
    std::atomic<int64_t> visitorsActive{0};
    std::atomic<uint64_t> visitorsTotal{0};
    std::atomic<uint64_t> bytes[2] = {}; // visitor to client, client to visitor
    std::atomic<uint64_t> signinFailures{0};
};

Relay &figures();

inline void addBytes(int direction, uint64_t n)
{
    figures().bytes[direction].fetch_add(n, std::memory_order_relaxed);
}

void noteRefusal(const std::string &component, const std::string &kind);
// route: the path with its variable parts replaced, so the number of series stays small.
void noteRequest(const std::string &route, int status);

// The Prometheus text exposition of everything above.
std::string render();

} // namespace metrics
