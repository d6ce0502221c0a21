#pragma once

#include "metrics.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

// What the relay counts so that no one peer, tunnel or flood can take all it has: open
// connections by kind and source, the descriptors they hold, and each tunnel's bandwidth.
namespace relay {

using Clock = std::chrono::steady_clock;
struct Reader;

constexpr size_t MaxPendingPerTunnel = 2048;
// Descriptors of the relay's share it never takes: the database, the log, the listeners.
constexpr size_t DescriptorsForOthers = 64;
constexpr auto LimiterBurst = std::chrono::milliseconds(100);
constexpr auto AcceptRetryDelay = std::chrono::milliseconds(200);

// What the relay holds open, by kind and by source address. Only the descriptors are counted
// from every io loop; the rest belongs to the loop that pairs.
struct Tally
{
    std::atomic<size_t> descriptors{0};
    size_t undecided = 0;
    size_t undecidedPeak = 0;
    std::map<std::string, int> undecidedBySource;
    std::list<std::weak_ptr<Reader>> undecidedQueue; // oldest first
    std::map<int64_t, int> visitorsByTunnel;
    std::map<std::string, int> visitorsBySource;
    std::map<std::pair<int64_t, std::string>, int> visitorsByTunnelSource;
};

template <class Key> void release(std::map<Key, int> &counts, const Key &key)
{
    const auto it = counts.find(key);
    if (it != counts.end() && --it->second <= 0)
        counts.erase(it);
}

template <class Key> int countOf(const std::map<Key, int> &counts, const Key &key)
{
    const auto it = counts.find(key);
    return it == counts.end() ? 0 : it->second;
}

void trimAfterFlood(Tally &tally);

// Descriptors held by one object, given back when it goes.
struct Held
{
    Held(std::shared_ptr<Tally> t, size_t n) : tally(std::move(t)), n(n)
    {
        tally->descriptors += n;
    }
    ~Held() { tally->descriptors -= n; }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    void add(size_t more)
    {
        n += more;
        tally->descriptors += more;
    }
    std::shared_ptr<Tally> tally;
    size_t n;
};

// One visitor, counted against its tunnel and its address while its connection is open.
struct VisitorTicket
{
    VisitorTicket(std::shared_ptr<Tally> t, int64_t tunnel, std::string source)
        : tally(std::move(t)), tunnel(tunnel), source(std::move(source))
    {
        ++tally->visitorsByTunnel[tunnel];
        ++tally->visitorsBySource[this->source];
        ++tally->visitorsByTunnelSource[{tunnel, this->source}];
        metrics::figures().visitorsActive.fetch_add(1, std::memory_order_relaxed);
        metrics::figures().visitorsTotal.fetch_add(1, std::memory_order_relaxed);
    }
    ~VisitorTicket()
    {
        metrics::figures().visitorsActive.fetch_sub(1, std::memory_order_relaxed);
        release(tally->visitorsByTunnel, tunnel);
        release(tally->visitorsBySource, source);
        release(tally->visitorsByTunnelSource, {tunnel, source});
    }
    VisitorTicket(const VisitorTicket &) = delete;
    VisitorTicket &operator=(const VisitorTicket &) = delete;
    std::shared_ptr<Tally> tally;
    int64_t tunnel;
    std::string source;
};

// One tunnel's bandwidth, shared by all its connections, whichever io loop carries them: a
// pacing clock per direction. Each chunk books its transmission time; a chunk booked beyond
// the burst allowance waits.
struct Limiter
{
    std::atomic<double> bytesPerSecond{0}; // 0: unlimited

    Clock::duration reserve(int direction, size_t bytes);

private:
    std::mutex mutex;
    Clock::time_point booked[2] = {};
};

} // namespace relay
