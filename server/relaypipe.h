#pragma once

#include "relaylimits.h"

#include <asio.hpp>

#include <memory>
#include <string>

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

} // namespace relay
