#pragma once

#include "log.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The library's stop() is lost when it comes before the server listens: this waits until the
// server listens, or until ended says its serving is over, and then stops it.
void stopWhenListening(httplib::Server &server, const std::atomic<bool> &ended);

struct GateLimits
{
    int workers = 16;
    int connectionsPerSource = 32;
    // All addresses together (descriptors stay for the relay); past it the connection silent
    // for longest is closed to make room.
    int maxConnections = 2048;
    int requestTimeoutS = 10; // from the first byte of a request to its last
    int maxHeaderLines = 64;
    size_t maxHeadBytes = 16 * 1024;
    size_t maxBodyBytes = 64 * 1024;
    int keepAliveS = 3;
    int keepAliveRequests = 100;
    int writeTimeoutS = 10;
};

// The HTTP library runs each connection on a worker that blocks reading it, so a few dozen
// slow clients hold every worker, and it reads headers without a limit on their number. This
// server keeps the library's parsing and routing but reads requests itself: one thread waits
// on every connection until a whole request (head and body) has arrived, within a deadline
// and a size, and only then hands it to a worker. A connection goes back to that thread between
// requests. The worker's library reads only the request the gate holds, so a head whose framing
// the gate cannot read strictly (a body's length in any doubt) is refused at the gate.
class GatedServer : public httplib::Server
{
public:
    explicit GatedServer(const GateLimits &limits);
    ~GatedServer() override;

    // The library listens with a backlog of 5: a burst of connections would wait for SYN
    // retries of a second and more. Call after binding.
    void widenBacklog();
    // Starts the gate and its workers, serves until halt(), then ends them.
    bool serve();
    // Ends serve(), from any thread, whether or not it listens yet: the library's own stop()
    // is lost when it comes before the library listens.
    void halt();
    // A connection accepted elsewhere (the API's TLS front), from that peer; the gate owns it.
    void adopt(socket_t sock, const std::string &peer, int peerPort);

    struct Conn; // one client connection, owned by the gate or by one worker at a time

private:
    using ConnPtr = std::unique_ptr<Conn>;

    enum class Progress {
        Waiting,
        Complete,
        Closed,
        TooManyLines,
        HeadTooLarge,
        Chunked,
        Malformed,
        BodyTooLarge,
        Encoded
    };

    bool process_and_close_socket(socket_t sock) override;
    Progress readRequest(Conn &conn, std::chrono::steady_clock::time_point now,
                         std::vector<char> &chunk);
    Progress findHead(Conn &conn);
    // The body's length from a complete head, read strictly.
    Progress readFraming(Conn &conn);
    void gateLoop();
    void workerLoop();
    // True when the connection stays open for another request.
    bool handle(Conn &conn);
    void release(ConnPtr conn);
    // The queue of connections with no request under way; under mutex.
    void listSilent(Conn &conn);
    void unlistSilent(Conn &conn);
    void refuse(ConnPtr conn, const char *status, const char *kind);
    void noteRefused(const char *kind) { refusals.note(kind); }
    void wake();

    GateLimits limits;
    std::mutex mutex;
    std::condition_variable jobReady;
    std::vector<ConnPtr> incoming; // new or returning connections for the gate
    std::deque<ConnPtr> jobs;      // connections whose request head is complete
    std::list<Conn *> silentQueue; // oldest first; each owned by incoming or the gate
    std::map<std::string, int> perSource;
    int connections = 0;
    bool stopping = false;
    std::atomic<bool> haltRequested{false};
    std::atomic<bool> serveEnded{false};
    int wakePipe[2] = {-1, -1};

    logx::Refusals refusals{"api"};
};
