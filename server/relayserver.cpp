#include "relayserver.h"

#include "listen.h"
#include "log.h"
#include "relaycontrol.h"
#include "relayframe.h"
#include "relaylimits.h"
#include "relaypipe.h"
#include "relayvhost.h"

#include <algorithm>
#include <sys/resource.h>

using asio::ip::tcp;
using namespace relay;

RelayServer::RelayServer(asio::io_context &io, const Config &config, Lookup lookup)
    : io(io), config(config), lookup(std::move(lookup)), acceptor(io),
      tally(std::make_shared<Tally>())
{
    // The API takes at most a quarter of the process's descriptors (see ApiServer).
    rlimit limit{};
    const size_t all = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                           ? size_t(limit.rlim_cur)
                           : size_t(1) << 20;
    descriptorLimit = all - all / 4;
    pools.push_back(std::make_shared<FlowPools>(tally, descriptorLimit));
}

RelayServer::~RelayServer()
{
    // The loops end once their pipes are gone (stop() cuts them).
    loopWork.clear();
    for (auto &t : loopThreads)
        t.join();
}

bool RelayServer::start(std::string &error)
{
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t count = config.relayThreads > 0 ? size_t(config.relayThreads) : size_t(cores);
    while (pools.size() < count) {
        loops.push_back(std::make_unique<asio::io_context>());
        loopWork.push_back(asio::make_work_guard(*loops.back()));
        pools.push_back(std::make_shared<FlowPools>(tally, descriptorLimit));
        loopThreads.emplace_back([loop = loops.back().get()] { loop->run(); });
    }
    if (!listenOn(acceptor, config.bindAddress, config.relayPort, error))
        return false;
    accept();
    const int webPortNumbers[2] = {config.httpPort, config.httpsPort};
    for (int i = 0; i < 2; ++i) {
        if (!webPortNumbers[i])
            continue;
        webPorts[i] = std::make_unique<WebPort>(*this, i == 1);
        if (!webPorts[i]->start(webPortNumbers[i], error))
            return false;
    }
    return true;
}

void RelayServer::stop()
{
    stopped = true;
    asio::error_code ignored;
    acceptor.close(ignored);
    for (auto &web : webPorts)
        if (web)
            web->stop();
    std::vector<int64_t> ids;
    for (const auto &t : tunnels)
        ids.push_back(t.first);
    for (int64_t id : ids) {
        const auto it = tunnels.find(id);
        if (it == tunnels.end())
            continue;
        auto control = it->second->control;
        closeTunnel(id);
        if (control)
            control->close();
    }
    cutPipes();
    loopWork.clear();
}

void RelayServer::accept()
{
    acceptor.async_accept([this](const asio::error_code &ec, tcp::socket socket) {
        if (stopped || ec == asio::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors and the like: try again shortly rather than spin.
            logx::warn("relay", "accept-failed", {{"error", ec.message()}});
            auto timer = std::make_shared<asio::steady_timer>(io, AcceptRetryDelay);
            timer->async_wait([this, timer](const asio::error_code &) {
                if (!stopped)
                    accept();
            });
            return;
        }
        std::string source;
        if (admit(socket, source))
            firstFrame(std::move(socket), source);
        accept();
    });
}

bool RelayServer::admit(tcp::socket &socket, std::string &source)
{
    asio::error_code ignored;
    const auto peer = socket.remote_endpoint(ignored);
    source = ignored ? std::string("?") : peer.address().to_string();
    if (countOf(tally->undecidedBySource, source) >= config.maxUndecidedPerSource) {
        noteRefused("undecided-per-source");
        socket.close(ignored);
        return false;
    }
    // Past the cap, the connection that has said nothing for longest makes room: a client
    // sends LOGIN or CONN at once, so a flood of silent connections sheds itself and a
    // sign-in always gets in.
    const size_t reserve = size_t(config.descriptorReserve);
    if (tally->undecided >= size_t(config.maxUndecided) ||
        tally->descriptors + reserve / 2 >= descriptorLimit)
        evictOldestUndecided();
    if (tally->descriptors + DescriptorsForOthers >= descriptorLimit) {
        noteRefused("descriptors");
        socket.close(ignored);
        return false;
    }
    socket.set_option(tcp::no_delay(true), ignored);
    return true;
}
