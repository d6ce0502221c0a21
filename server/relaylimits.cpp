#include "relaylimits.h"

#include "relayserver.h"

#include <algorithm>
#include <malloc.h>

namespace relay {

// Once a flood of undecided connections has drained, the allocator is asked to give back what
// it kept, so the service returns to its usual size.
void trimAfterFlood(Tally &tally)
{
    constexpr size_t FloodConnections = 256;
    tally.undecidedPeak = std::max(tally.undecidedPeak, tally.undecided + 1);
    if (tally.undecidedPeak < FloodConnections || tally.undecided > tally.undecidedPeak / 16)
        return;
    tally.undecidedPeak = tally.undecided;
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

Clock::duration Limiter::reserve(int direction, size_t bytes)
{
    const double rate = bytesPerSecond;
    if (rate <= 0)
        return Clock::duration::zero();
    std::lock_guard<std::mutex> lock(mutex);
    const auto now = Clock::now();
    auto &t = booked[direction];
    if (t < now)
        t = now;
    t += std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double(bytes) / rate));
    const auto wait = t - now - LimiterBurst;
    return wait > Clock::duration::zero() ? wait : Clock::duration::zero();
}

} // namespace relay

using namespace relay;

std::shared_ptr<Limiter> RelayServer::limiterFor(int64_t tunnelId, int bdw)
{
    // One limiter per tunnel for as long as any of its connections lives, so a new sign-in
    // does not hand the tunnel a second allowance.
    for (auto it = limiters.begin(); it != limiters.end();) {
        if (it->second.expired())
            it = limiters.erase(it);
        else
            ++it;
    }
    auto limiter = limiters[tunnelId].lock();
    if (!limiter) {
        limiter = std::make_shared<Limiter>();
        limiters[tunnelId] = limiter;
    }
    limiter->bytesPerSecond = bdw > 0 ? bdw * 1000.0 * 1000.0 / 8.0 : 0.0;
    return limiter;
}
