#pragma once

#include "relaylimits.h"

#include <asio.hpp>

#include <array>
#include <memory>
#include <string>
#include <vector>

// Visitors of a tunnel's public port, waiting for the client's data connection.
namespace relay {

struct PendingVisitor
{
    PendingVisitor(asio::ip::tcp::socket s, asio::io_context &io, int64_t id,
                   std::unique_ptr<VisitorTicket> ticket)
        : socket(std::move(s)), timer(io), tunnelId(id), ticket(std::move(ticket)),
          held(std::make_unique<Held>(this->ticket->tally, 1))
    {
    }
    asio::ip::tcp::socket socket;
    asio::steady_timer timer;
    int64_t tunnelId;
    std::unique_ptr<VisitorTicket> ticket;
    std::unique_ptr<Held> held;
    std::string early;  // sent to the client first (a web visitor's request head)
    bool pages = false; // an HTTP visitor: told by a page when the site does not answer
};

// What the pipes of one io loop borrow while bytes are in flight and give back when a connection
// has nothing to carry, so an idle visitor holds neither: kernel pipes for splicing (empty ones
// are kept for reuse, their descriptors counted in the tally) and buffers for the copy loop.
class FlowPools
{
public:
    static constexpr size_t BufferBytes = 64 * 1024;
    using Buffer = std::array<char, BufferBytes>;
    // What a pipe is asked to hold, so a fast flow takes few steps; the system may give less.
    static constexpr size_t PipeBytes = 256 * 1024;
    struct KernelPipe
    {
        int read = -1;
        int write = -1;
        size_t capacity = 0;
    };

    FlowPools(std::shared_ptr<Tally> tally, size_t descriptorLimit)
        : tally(std::move(tally)), descriptorLimit(descriptorLimit)
    {
    }
    ~FlowPools();
    FlowPools(const FlowPools &) = delete;
    FlowPools &operator=(const FlowPools &) = delete;

    // False when no pipe can be had (descriptors short, or none on this system): the caller
    // copies instead.
    bool takePipe(KernelPipe &pipe);
    // A pipe that still holds bytes is closed rather than kept.
    void givePipe(KernelPipe &pipe, bool empty);
    std::unique_ptr<Buffer> takeBuffer();
    void giveBuffer(std::unique_ptr<Buffer> buffer);

private:
    void closePipe(const KernelPipe &pipe);

    std::shared_ptr<Tally> tally;
    size_t descriptorLimit;
    std::vector<KernelPipe> sparePipes;
    std::vector<std::unique_ptr<Buffer>> spareBuffers;
};

} // namespace relay
