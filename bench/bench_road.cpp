// The whole road, measured beside two baselines in one run: a visitor talking to a local echo
// service directly, through socat as a plain TCP relay, and through the real borvane-server
// relay plus the client's tunnel engine (visitor -> public port -> relay -> data connection ->
// engine -> local service), and through the relay server with a pause-free stand-in client
// ("relay"), which shows the server's own cost apart from the engine's; and the same road as a
// web tunnel ("web": the visitor comes in on the shared HTTP port and is routed by the Host of
// its request head; "relayweb" the same with the stand-in client). Ratios against the direct
// connection, and of the web tunnel to the port tunnel, are what to read; absolute figures depend
// on the machine. The cost of routing by name is the difference of a new connection's first round
// trip on both roads.
//
// Figures: echo throughput of one connection; 64-byte round trips (p50, p99); time for 500
// concurrent visitors to finish a 4 KiB echo each; the relay server's resident memory per open
// visitor connection; the relay server's CPU seconds per GB relayed. Then the same service
// quiet and under a flood from strangers (4,000 silent relay connections kept open, 100 API
// clients sending a header line every two seconds): sign-in latency (API and relay LOGIN) and
// a visitor's round trip, p50 and p99; and those quiet figures once more with the service's
// data on PostgreSQL (a cluster of the bench's own, as the tests start it).
//
// Then one relay node on its own, a fresh service per build with a pause-free echoing client
// and no bandwidth limit: one stream's echo throughput and the service's CPU seconds per GB
// relayed (medians of three), the aggregate of 8 concurrent streams, the resident memory per
// idle paired visitor with 20,000 of them open, and a new visitor's round trip (connect, 64
// bytes there and back) quiet and beside those 20,000. Each figure beside the direct connection
// and socat; with --before, the same for an older build of the service, so a change shows in
// one run; "1 loop" is this build on one io loop, "copy" with its diagnostic copy loop. Last, how
// closely each keeps a tunnel's bandwidth limit at 1, 10 and 50 Mbps.
//
// Usage: bench_road [--node] [--before PATH] [path to borvane-server]
//   --node  only the relay node figures

#include "core/globals.h"
#include "net/httprequest.h"
#include "tunnel/tunnel.h"
#include "tunnel/tunnelrecord.h"

#include "benchutil.h"
#include "floodsocket.h"
#include "pgcluster.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace benchutil;

const char *const ServerAddress = "127.0.0.180";
const char *const SocatAddress = "127.0.0.182";
// The same service on a PostgreSQL cluster of the bench's own, for its sign-in figures.
const char *const PostgresAddress = "127.0.0.181";
const char *const LocalAddress = "127.0.0.1";
constexpr int SocatPort = 21890;
constexpr int WebPort = 21880;
constexpr int Visitors = 500;
constexpr int NewConnections = 300;

// The local service: echoes every connection on its own thread.
int startEchoService()
{
    const int fd = listenOn(LocalAddress, 0);
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        std::perror("echo service");
        std::exit(2);
    }
    std::thread([fd] {
        for (;;) {
            const int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            std::thread([c] {
                const int on = 1;
                ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                std::vector<char> buffer(64 * 1024);
                for (;;) {
                    const ssize_t n = ::recv(c, buffer.data(), buffer.size(), 0);
                    if (n <= 0 || !sendAll(c, buffer.data(), size_t(n)))
                        break;
                }
                ::close(c);
            }).detach();
        }
    }).detach();
    return ntohs(sa.sin_port);
}

struct Target
{
    const char *name;
    const char *address;
    int port;
    std::string host; // a web visitor: its request head names this host first
};

// A visitor's connection; a web visitor's head goes first and comes back from the echo.
int openTarget(const Target &t)
{
    const int fd = connectTo(t.address, t.port);
    if (fd < 0 || t.host.empty())
        return fd;
    const std::string head = "GET / HTTP/1.1\r\nHost: " + t.host + "\r\n\r\n";
    std::string echo(head.size(), '\0');
    if (!sendAll(fd, head.data(), head.size()) || !recvAll(fd, echo.data(), echo.size()) ||
        echo != head) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Microseconds from connecting to the first byte of the answer to a request head, the mean
// of many new connections: what a browser's new connection waits on either road.
double newConnectionMicros(const Target &t)
{
    const std::string head =
        "GET / HTTP/1.1\r\nHost: " + (t.host.empty() ? std::string("x") : t.host) + "\r\n\r\n";
    double total = 0;
    for (int i = 0; i < NewConnections; ++i) {
        const auto start = Clock::now();
        const int fd = connectTo(t.address, t.port);
        char byte;
        if (fd < 0 || !sendAll(fd, head.data(), head.size()) || !recvAll(fd, &byte, 1))
            return 0;
        total += secondsSince(start) * 1e6;
        ::close(fd);
    }
    return total / NewConnections;
}

// Megabytes per second of an echo: the bytes go out and come back on one connection.
double echoThroughput(const Target &t, size_t bytes)
{
    const int fd = openTarget(t);
    if (fd < 0)
        return 0;
    std::vector<char> out(256 * 1024, 'x'), in(256 * 1024);
    const auto start = Clock::now();
    std::thread writer([&] {
        for (size_t sent = 0; sent < bytes; sent += out.size())
            if (!sendAll(fd, out.data(), std::min(out.size(), bytes - sent)))
                break;
    });
    size_t got = 0;
    while (got < bytes) {
        const ssize_t n = ::recv(fd, in.data(), in.size(), 0);
        if (n <= 0)
            break;
        got += size_t(n);
    }
    writer.join();
    const double seconds = secondsSince(start);
    ::close(fd);
    return got == bytes ? double(bytes) / 1e6 / seconds : 0;
}

void roundTrips(const Target &t, int count, double &p50, double &p99)
{
    p50 = p99 = 0;
    const int fd = openTarget(t);
    if (fd < 0)
        return;
    char ping[64] = {}, pong[64];
    std::vector<double> micros;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (!sendAll(fd, ping, sizeof ping) || !recvAll(fd, pong, sizeof pong))
            break;
        micros.push_back(secondsSince(start) * 1e6);
    }
    ::close(fd);
    if (micros.size() != size_t(count))
        return;
    const Percentiles result = percentiles(micros);
    p50 = result.p50;
    p99 = result.p99;
}

// Opens the visitors, each echoes 4 KiB; returns the seconds until all are done (0 on a
// failure). The connections stay open in fds for the caller to measure, then close.
double concurrentVisitors(const Target &t, std::vector<int> &fds)
{
    std::atomic<int> ok{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    fds.assign(Visitors, -1);
    for (int i = 0; i < Visitors; ++i) {
        threads.emplace_back([&, i] {
            const int fd = openTarget(t);
            fds[size_t(i)] = fd;
            if (fd < 0)
                return;
            char out[4096], in[4096];
            std::memset(out, i & 0xff, sizeof out);
            if (sendAll(fd, out, sizeof out) && recvAll(fd, in, sizeof in) &&
                std::memcmp(in, out, sizeof in) == 0)
                ++ok;
        });
    }
    for (auto &th : threads)
        th.join();
    const double seconds = secondsSince(start);
    return ok == Visitors ? seconds : 0;
}

long rssKb(qint64 pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

double cpuSeconds(qint64 pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::vector<std::string> fields;
    std::string field;
    for (char c : text.substr(close + 2)) {
        if (c == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field.push_back(c);
        }
    }
    // utime and stime are fields 14 and 15; fields here start at field 3.
    if (fields.size() < 13)
        return 0;
    return double(std::stol(fields[11]) + std::stol(fields[12])) / double(sysconf(_SC_CLK_TCK));
}

// The stand-in client's pumps; the relay server's memory is what is measured, not ours.
constexpr size_t PumpBytes = 64 * 1024;

// A pause-free stand-in for the client, so the relay server's own cost shows apart from the
// engine's: signs the tunnel in and serves every CONN request with two pumping threads.
void rawClient(const std::string &token, int echoPort, std::atomic<bool> &online,
               const char *address)
{
    const int control = connectTo(address, 8888);
    if (control < 0)
        return;
    const std::string login = "{\"token\":\"" + token + "\",\"type\":\"LOGIN\"}";
    sendAll(control, frame(login, "login").data(), frame(login, "login").size());
    std::string json;
    while (readFrame(control, &json)) {
        if (json.find("LOGINOK") != std::string::npos) {
            online = true;
            continue;
        }
        const size_t at = json.find("\"uid\":\"");
        if (at == std::string::npos)
            continue;
        const std::string uid = json.substr(at + 7, json.find('"', at + 7) - at - 7);
        std::thread([uid, echoPort, address] {
            const int local = connectTo(LocalAddress, echoPort);
            const int data = connectTo(address, 8888);
            const std::string conn = frame("{\"type\":\"CONN\",\"uid\":\"" + uid + "\"}", "conn");
            sendAll(data, conn.data(), conn.size());
            std::thread up(pump, local, data, PumpBytes);
            pump(data, local, PumpBytes);
            up.join();
            ::close(local);
            ::close(data);
        }).detach();
    }
}

constexpr int FloodRelayConnections = 4000;
constexpr int FloodApiClients = 100;

// Keeps the flood's connections open: what the service closes (first-frame time, request
// time) is opened again. The slow API clients send one header line every two seconds.
void flood(std::atomic<bool> &stop, std::atomic<int> &relayOpen, std::atomic<int> &apiOpen)
{
    std::vector<int> relay(FloodRelayConnections, -1), api(FloodApiClients, -1);
    auto nextLine = Clock::now();
    while (!stop) {
        int open = 0;
        for (size_t i = 0; i < relay.size(); ++i) {
            if (relay[i] >= 0 && floodsock::closedByPeer(relay[i])) {
                ::close(relay[i]);
                relay[i] = -1;
            }
            if (relay[i] < 0)
                relay[i] = floodsock::connectFrom(
                    ("127.0.0." + std::to_string(190 + i % 8)).c_str(), ServerAddress, 8888);
            open += relay[i] >= 0;
        }
        relayOpen = open;
        const bool line = Clock::now() >= nextLine;
        if (line)
            nextLine = Clock::now() + std::chrono::seconds(2);
        open = 0;
        for (size_t i = 0; i < api.size(); ++i) {
            if (api[i] >= 0 && floodsock::closedByPeer(api[i])) {
                ::close(api[i]);
                api[i] = -1;
            }
            if (api[i] < 0) {
                api[i] = floodsock::connectFrom(("127.0.0." + std::to_string(200 + i % 4)).c_str(),
                                                ServerAddress, 8080);
                if (api[i] >= 0)
                    sendAll(api[i], "GET /price HTTP/1.1\r\n", 21);
            } else if (line) {
                sendAll(api[i], "X-Slow: 1\r\n", 11);
            }
            open += api[i] >= 0;
        }
        apiOpen = open;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (int fd : relay)
        if (fd >= 0)
            ::close(fd);
    for (int fd : api)
        if (fd >= 0)
            ::close(fd);
}

// One API request's whole answer, headers included; empty on a failure.
std::string httpGet(const char *address, const std::string &path)
{
    const int fd = connectTo(address, 8080);
    if (fd < 0)
        return {};
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    std::string answer;
    char buffer[4096];
    if (sendAll(fd, request.data(), request.size()))
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, size_t(n));
    ::close(fd);
    return answer;
}

// Milliseconds of one API sign-in (the password hash dominates), 0 on a failure.
double apiSignIn(const char *address)
{
    const auto start = Clock::now();
    const std::string answer =
        httpGet(address, "/user?userId=&token=&phone=13800000000&pwd=demo123456");
    return answer.find("\"flag\":true") != std::string::npos ? secondsSince(start) * 1e3 : 0;
}

// Milliseconds from connecting to LOGINOK for a tunnel token, 0 on a failure.
double relaySignIn(const char *address, const std::string &token)
{
    const auto start = Clock::now();
    const int fd = connectTo(address, 8888);
    if (fd < 0)
        return 0;
    const std::string login = frame("{\"token\":\"" + token + "\",\"type\":\"LOGIN\"}", "login");
    std::string json;
    const bool ok = sendAll(fd, login.data(), login.size()) && readFrame(fd, &json) &&
                    json.find("LOGINOK") != std::string::npos;
    ::close(fd);
    return ok ? secondsSince(start) * 1e3 : 0;
}

struct RoadUnderLoad
{
    Percentiles apiMs, loginMs, rttUs;
    bool ok = true;
};

RoadUnderLoad measureSignInsAndVisitor(const Target &relay, const std::string &signInToken)
{
    RoadUnderLoad r;
    std::vector<double> api, login;
    for (int i = 0; i < 20; ++i)
        api.push_back(apiSignIn(relay.address));
    for (int i = 0; i < 200; ++i)
        login.push_back(relaySignIn(relay.address, signInToken));
    for (double v : api)
        r.ok = r.ok && v > 0;
    for (double v : login)
        r.ok = r.ok && v > 0;
    r.apiMs = percentiles(api);
    r.loginMs = percentiles(login);
    roundTrips(relay, 2000, r.rttUs.p50, r.rttUs.p99);
    r.ok = r.ok && r.rttUs.p99 > 0;
    return r;
}

// The relay node on its own.
constexpr int IdleVisitors = 20000;
constexpr int Streams = 8;
constexpr int NodeSamples = 3;
constexpr size_t NodeStreamBytes = 256u * 1024 * 1024;

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The text of a JSON field's value after "name": (a string's inside, or a number).
std::string jsonField(const std::string &text, const std::string &name)
{
    const std::string key = "\"" + name + "\":";
    const size_t at = text.find(key);
    if (at == std::string::npos)
        return {};
    size_t from = at + key.size();
    if (text[from] == '"')
        return text.substr(from + 1, text.find('"', from + 1) - from - 1);
    const size_t end = text.find_first_of(",}]", from);
    return text.substr(from, end - from);
}

// A pause-free client that echoes on every data connection itself: one thread answers CONN
// requests, a few more echo, each over its share of the data connections.
class EchoingClient
{
public:
    EchoingClient(const char *address, const std::string &token, int sourceOctet)
        : address(address), sourceOctet(sourceOctet)
    {
        for (int i = 0; i < Streams; ++i) {
            polls.push_back(::epoll_create1(EPOLL_CLOEXEC));
            workers.emplace_back([this, i] { echo(polls[size_t(i)]); });
        }
        control = connectTo(address, 8888);
        const std::string login = frame("{\"token\":\"" + token + "\",\"type\":\"LOGIN\"}", "l");
        std::string json;
        online = control >= 0 && sendAll(control, login.data(), login.size()) &&
                 readFrame(control, &json) && json.find("LOGINOK") != std::string::npos;
        if (online)
            reader = std::thread([this] { serve(); });
    }
    ~EchoingClient()
    {
        stop = true;
        if (control >= 0)
            ::shutdown(control, SHUT_RDWR);
        if (reader.joinable())
            reader.join();
        for (auto &w : workers)
            w.join();
        for (int fd : polls)
            ::close(fd);
        for (int fd : data)
            ::close(fd);
        if (control >= 0)
            ::close(control);
    }
    bool online = false;

private:
    void serve()
    {
        std::string json;
        for (size_t n = 0; !stop && readFrame(control, &json);) {
            const std::string uid = jsonField(json, "uid");
            if (uid.empty())
                continue;
            const std::string source =
                "127." + std::to_string(sourceOctet) + ".2." + std::to_string(1 + n % 16);
            const int fd = floodsock::connectFrom(source.c_str(), address, 8888);
            if (fd < 0)
                continue;
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            const std::string conn = frame("{\"type\":\"CONN\",\"uid\":\"" + uid + "\"}", "c");
            sendAll(fd, conn.data(), conn.size());
            data.push_back(fd);
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = fd;
            ::epoll_ctl(polls[n++ % polls.size()], EPOLL_CTL_ADD, fd, &event);
        }
    }

    void echo(int poll)
    {
        std::vector<char> buffer(PumpBytes);
        epoll_event events[64];
        while (!stop) {
            const int n = ::epoll_wait(poll, events, 64, 100);
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
                if (got <= 0 || !sendAll(fd, buffer.data(), size_t(got))) {
                    ::epoll_ctl(poll, EPOLL_CTL_DEL, fd, nullptr);
                    ::shutdown(fd, SHUT_RDWR);
                }
            }
        }
    }

    const char *address;
    int sourceOctet;
    int control = -1;
    std::atomic<bool> stop{false};
    std::vector<int> polls;
    std::vector<int> data; // closed at the end only; the reader thread alone adds to it
    std::vector<std::thread> workers;
    std::thread reader;
};

// Aggregate MB/s of Streams echo connections at once.
double parallelThroughput(const Target &t, size_t bytesEach)
{
    std::vector<double> rates(Streams);
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int i = 0; i < Streams; ++i)
        threads.emplace_back([&, i] { rates[size_t(i)] = echoThroughput(t, bytesEach); });
    for (auto &th : threads)
        th.join();
    for (double r : rates)
        if (r <= 0)
            return 0;
    return double(bytesEach) * Streams / 1e6 / secondsSince(start);
}

// Microseconds from connecting to the echo of 64 bytes, for many new visitors one by one.
Percentiles newVisitorRoundTrips(const Target &t, int count)
{
    std::vector<double> micros;
    char ping[64] = {}, pong[64];
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        const int fd = connectTo(t.address, t.port);
        const bool ok = fd >= 0 && sendAll(fd, ping, sizeof ping) && recvAll(fd, pong, sizeof pong);
        if (fd >= 0)
            ::close(fd);
        if (!ok)
            return {};
        micros.push_back(secondsSince(start) * 1e6);
    }
    return percentiles(micros);
}

// IdleVisitors, or as many as the service's descriptors hold where the system does not let us
// raise the limit it inherits: it keeps a quarter for the API and a reserve, and a paired
// visitor takes two.
int idleVisitors()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return IdleVisitors;
    const long relayShare = long(limit.rlim_cur) - long(limit.rlim_cur) / 4 - 512 - 64 - 128;
    return int(std::clamp(relayShare / 2, 0L, long(IdleVisitors)));
}

struct NodeFigures
{
    double mbps = 0, cpuPerGb = 0, streamsMbps = 0, kibPerVisitor = 0;
    Percentiles quiet, loaded;
    int idleOpen = 0;
};

// One-stream and 8-stream throughput of a target, medians of NodeSamples; CPU of pid if any.
void measureThroughput(const Target &t, qint64 pid, NodeFigures &f)
{
    std::vector<double> mbps, cpu, streams;
    for (int i = 0; i < NodeSamples; ++i) {
        const double before = pid ? cpuSeconds(pid) : 0;
        mbps.push_back(echoThroughput(t, NodeStreamBytes));
        if (pid)
            cpu.push_back((cpuSeconds(pid) - before) / (2.0 * NodeStreamBytes / 1e9));
        streams.push_back(parallelThroughput(t, NodeStreamBytes / Streams));
    }
    f.mbps = median(mbps);
    f.cpuPerGb = median(cpu);
    f.streamsMbps = median(streams);
}

// A fresh service of the given build on its own address, its demo tunnel limited to bdw Mbps
// (0: unlimited) and signed in by an echoing client.
struct NodeService
{
    NodeService(const QString &bin, const QStringList &extra, const char *address, int bdw,
                int sourceOctet)
    {
        server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server.start(bin, QStringList{"--bind",
                                      address,
                                      "--db",
                                      dir.filePath("node.db"),
                                      "--demo",
                                      "--demo-bdw",
                                      QString::number(bdw),
                                      "--demo-client-port",
                                      "9",
                                      "--ports",
                                      "21820-21829",
                                      "--log-level",
                                      "error",
                                      "--idle-timeout-s",
                                      "3600",
                                      "--max-visitors-per-tunnel",
                                      "100000",
                                      "--max-visitors-per-source",
                                      "100000",
                                      "--max-visitors-per-tunnel-source",
                                      "100000"} +
                              extra);
        if (!server.waitForStarted())
            return;
        std::string user;
        for (int i = 0; i < 100 && jsonField(user, "token").empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            user = httpGet(address, "/user?userId=&token=&phone=13800000000&pwd=demo123456");
        }
        const std::string id = jsonField(user, "id");
        const std::string list = httpGet(address, "/port/query/" + id + "?userId=" + id +
                                                      "&token=" + jsonField(user, "token"));
        target = {"node", address, std::atoi(jsonField(list, "serverPort").c_str()), {}};
        client = std::make_unique<EchoingClient>(address, jsonField(list, "token"), sourceOctet);
    }
    ~NodeService()
    {
        client.reset();
        server.terminate();
        server.waitForFinished();
    }
    bool ready() const { return client && client->online && target.port > 0; }

    QTemporaryDir dir;
    QProcess server;
    Target target{"node", "", 0, {}};
    std::unique_ptr<EchoingClient> client;
};

// Mbps of an echo through a tunnel limited to bdw Mbps each way, leaving out the first second
// (the limiter's burst allowance); 0 on a failure.
double limitedRate(const QString &bin, const QStringList &extra, const char *address, int bdw,
                   int sourceOctet)
{
    NodeService node(bin, extra, address, bdw, sourceOctet);
    const int fd = node.ready() ? openTarget(node.target) : -1;
    if (fd < 0)
        return 0;
    constexpr double Seconds = 6;
    const size_t bytes = size_t(bdw * 1e6 / 8 * Seconds);
    const size_t skip = size_t(bdw * 1e6 / 8);
    std::thread writer([&] {
        std::vector<char> out(16 * 1024, 'x');
        for (size_t sent = 0; sent < bytes; sent += out.size())
            if (!sendAll(fd, out.data(), std::min(out.size(), bytes - sent)))
                break;
    });
    std::vector<char> in(64 * 1024);
    size_t got = 0;
    Clock::time_point from;
    while (got < bytes) {
        const ssize_t n = ::recv(fd, in.data(), in.size(), 0);
        if (n <= 0)
            break;
        if (got < skip && got + size_t(n) >= skip)
            from = Clock::now();
        got += size_t(n);
    }
    const double seconds = secondsSince(from);
    writer.join();
    ::close(fd);
    return got == bytes ? double(bytes - skip) * 8 / 1e6 / seconds : 0;
}

bool measureNode(const QString &bin, const QStringList &extra, const char *address, int sourceOctet,
                 NodeFigures &f)
{
    NodeService node(bin, extra, address, 0, sourceOctet);
    const int port = node.target.port;
    bool ok = false;
    {
        const Target &t = node.target;
        if (node.ready()) {
            const qint64 pid = node.server.processId();
            measureThroughput(t, pid, f);
            f.quiet = newVisitorRoundTrips(t, 300);
            // Idle paired visitors, each shown to be paired by one echo.
            const long rssBefore = rssKb(pid);
            std::vector<int> idle;
            char byte = 'x';
            for (int i = 0; i < idleVisitors(); ++i) {
                const std::string source =
                    "127." + std::to_string(sourceOctet) + ".1." + std::to_string(1 + i % 16);
                const int fd = floodsock::connectFrom(source.c_str(), address, port);
                if (fd < 0 || !sendAll(fd, &byte, 1) || !recvAll(fd, &byte, 1)) {
                    if (fd >= 0)
                        ::close(fd);
                    break;
                }
                idle.push_back(fd);
            }
            f.idleOpen = int(idle.size());
            std::this_thread::sleep_for(std::chrono::seconds(1));
            if (!idle.empty())
                f.kibPerVisitor = double(rssKb(pid) - rssBefore) / double(idle.size());
            f.loaded = newVisitorRoundTrips(t, 300);
            for (int fd : idle)
                ::close(fd);
            ok =
                f.mbps > 0 && f.streamsMbps > 0 && f.idleOpen == idleVisitors() && f.loaded.p99 > 0;
        }
    }
    return ok;
}

int relayNode(const QString &serverBin, const QString &beforeBin, int echoPort)
{
    int status = 0;
    NodeFigures direct, socat;
    measureThroughput({"direct", LocalAddress, echoPort, {}}, 0, direct);
    direct.quiet = newVisitorRoundTrips({"direct", LocalAddress, echoPort, {}}, 300);
    measureThroughput({"socat", SocatAddress, SocatPort, {}}, 0, socat);
    socat.quiet = newVisitorRoundTrips({"socat", SocatAddress, SocatPort, {}}, 300);
    std::printf("\nrelay node: one stream and %d streams (medians of %d), %d idle visitors\n",
                Streams, NodeSamples, idleVisitors());
    std::printf("%-7s %9s %6s %8s %10s %6s %9s %16s %16s %6s\n", "path", "1 MB/s", "ratio",
                "CPU s/GB", "8x MB/s", "ratio", "KiB/idle", "new rtt p50/p99", "loaded p50/p99",
                "p99 x");
    auto row = [&](const char *name, const NodeFigures &f, bool relay) {
        std::printf("%-7s %9.1f %6.2f ", name, f.mbps, direct.mbps > 0 ? f.mbps / direct.mbps : 0);
        relay ? std::printf("%8.2f ", f.cpuPerGb) : std::printf("%8s ", "-");
        std::printf("%10.1f %6.2f ", f.streamsMbps,
                    direct.streamsMbps > 0 ? f.streamsMbps / direct.streamsMbps : 0);
        relay ? std::printf("%9.2f ", f.kibPerVisitor) : std::printf("%9s ", "-");
        std::printf("%7.0f/%-8.0f ", f.quiet.p50, f.quiet.p99);
        if (relay)
            std::printf("%7.0f/%-8.0f %6.2f", f.loaded.p50, f.loaded.p99,
                        f.quiet.p99 > 0 ? f.loaded.p99 / f.quiet.p99 : 0);
        std::printf("\n");
        std::fflush(stdout);
    };
    row("direct", direct, false);
    row("socat", socat, false);
    struct Build
    {
        const char *name;
        QString bin;
        QStringList extra;
        const char *address;
    };
    std::vector<Build> builds;
    if (!beforeBin.isEmpty())
        builds.push_back({"before", beforeBin, {}, "127.0.0.184"});
    builds.push_back({"after", serverBin, {}, "127.0.0.185"});
    builds.push_back({"1 loop", serverBin, {"--relay-threads", "1"}, "127.0.0.188"});
    builds.push_back({"copy", serverBin, {"--relay-copy"}, "127.0.0.186"});
    int octet = 10;
    for (const Build &b : builds) {
        NodeFigures f;
        if (!measureNode(b.bin, b.extra, b.address, octet++, f)) {
            std::printf("%-7s failed (%d of %d idle visitors paired)\n", b.name, f.idleOpen,
                        idleVisitors());
            status = 1;
            continue;
        }
        row(b.name, f, true);
    }
    std::printf("\nbandwidth limit: measured Mbps of an echo at the tunnel's limit (error)\n");
    for (const Build &b : builds) {
        std::printf("%-7s", b.name);
        for (int bdw : {1, 10, 50}) {
            const double rate = limitedRate(b.bin, b.extra, b.address, bdw, octet++);
            std::printf("  %2d: %6.3f (%+.1f %%)", bdw, rate, (rate / bdw - 1) * 100);
            status = rate > 0 ? status : 1;
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return status;
}

QVariantMap callApi(HttpRequest request, bool post = false)
{
    QVariantMap answer;
    QEventLoop loop;
    using Send = void (HttpRequest::*)(HttpRequest::SuccessHandler, HttpRequest::FailureHandler);
    const Send method = post ? Send(&HttpRequest::post) : Send(&HttpRequest::get);
    (request.*method)(
        [&](bool, const QVariantMap &m) {
            answer = m;
            loop.quit();
        },
        [&](const QString &) { loop.quit(); });
    loop.exec();
    return answer;
}

// A service ready to measure: signed in, the demo tunnel made a web tunnel, and a second tunnel
// to sign in again and again. Leaves the account in the client's globals.
struct Deployment
{
    TunnelRecord record; // the demo tunnel
    std::string signInToken;
};

Deployment prepare(const QString &base)
{
    // Sign in and start the demo tunnel with the client's own code.
    apiBaseUrl = base;
    QVariantMap signIn;
    for (int attempt = 0; attempt < 50 && !signIn.value("flag").toBool(); ++attempt) {
        QThread::msleep(100);
        signIn = callApi(HttpRequest(apiBaseUrl + "user")
                             .addParam("phone", "13800000000")
                             .addParam("pwd", "demo123456"));
    }
    currentUserId = signIn.value("data").toMap().value("id").toString();
    currentToken = signIn.value("data").toMap().value("token").toString();
    // A second tunnel, signed in and out again and again under the flood.
    callApi(HttpRequest(apiBaseUrl + "port")
                .addParam("clientIp", "127.0.0.1")
                .addParam("tunnelName", "signin")
                .addParam("clientPort", "9")
                .addParam("type", "1")
                .addParam("priceId", "1")
                .addHeader("content-type", "application/x-www-form-urlencoded"),
            true);
    QVariantMap list = callApi(HttpRequest(apiBaseUrl + "port/query/" + currentUserId));
    TunnelRecord record = TunnelRecord::fromListEntry(list.value("data").toList().value(0).toMap());
    // The demo tunnel becomes a web tunnel: reached by its public port and by its domain.
    callApi(HttpRequest(apiBaseUrl + "port/change")
                .addParam("tunnelId", record.id)
                .addParam("tunnelToken", record.token)
                .addParam("clientIp", record.clientIp)
                .addParam("clientPort", QString::number(record.clientPort))
                .addParam("tunnelName", record.name)
                .addParam("type", "0")
                .addHeader("content-type", "application/x-www-form-urlencoded"),
            true);
    list = callApi(HttpRequest(apiBaseUrl + "port/query/" + currentUserId));
    record = TunnelRecord::fromListEntry(list.value("data").toList().value(0).toMap());
    return {record,
            list.value("data").toList().value(1).toMap().value("token").toString().toStdString()};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Tens of thousands of visitors, their data connections and the service's own (which
    // inherits the limit): as many descriptors as the system lets us have.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        const rlimit wanted{rlim_t(8 * IdleVisitors + 4096), rlim_t(8 * IdleVisitors + 4096)};
        if (limit.rlim_max >= wanted.rlim_max || setrlimit(RLIMIT_NOFILE, &wanted) != 0) {
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
    }
    QString serverBin =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../borvane-server");
    QString beforeBin;
    bool nodeOnly = false;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == "--node")
            nodeOnly = true;
        else if (arg == "--before" && i + 1 < argc)
            beforeBin = QString::fromLocal8Bit(argv[++i]);
        else
            serverBin = arg;
    }
    const int echoPort = startEchoService();

    QTemporaryDir dir;
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    server.start(serverBin,
                 {"--bind", ServerAddress, "--db", dir.filePath("bench.db"), "--demo", "--demo-bdw",
                  "0", "--demo-client-port", QString::number(echoPort), "--ports", "21800-21809",
                  "--http-port", QString::number(WebPort), "--log-level", "warn",
                  // all visitors come from one address here
                  "--max-visitors-per-tunnel-source", "500"});
    QProcess socat;
    socat.start("socat",
                {QStringLiteral("TCP-LISTEN:%1,bind=%2,fork,reuseaddr,nodelay,backlog=4096")
                     .arg(SocatPort)
                     .arg(SocatAddress),
                 QStringLiteral("TCP:%1:%2,nodelay").arg(LocalAddress).arg(echoPort)});
    if (!server.waitForStarted() || !socat.waitForStarted()) {
        std::fprintf(stderr, "cannot start %s or socat\n", qPrintable(serverBin));
        return 2;
    }
    if (nodeOnly) {
        const int status = relayNode(serverBin, beforeBin, echoPort);
        socat.terminate();
        server.terminate();
        socat.waitForFinished();
        server.waitForFinished();
        return status;
    }

    // The PostgreSQL service first: the globals stay with the SQLite one, the engine's.
    PgCluster cluster;
    QProcess pgServer;
    pgServer.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    QString why;
    Deployment onPostgres;
    if (cluster.start(why)) {
        pgServer.start(serverBin,
                       {"--bind", PostgresAddress, "--db", cluster.createDatabase(), "--demo",
                        "--demo-bdw", "0", "--demo-client-port", QString::number(echoPort),
                        "--ports", "21810-21819", "--log-level", "warn"});
        if (pgServer.waitForStarted())
            onPostgres = prepare(QStringLiteral("http://%1:8080/").arg(PostgresAddress));
    } else {
        std::fprintf(stderr, "no PostgreSQL figures: %s\n", qPrintable(why));
    }
    const Deployment onSqlite = prepare(QStringLiteral("http://%1:8080/").arg(ServerAddress));
    TunnelRecord record = onSqlite.record;
    const std::string signInToken = onSqlite.signInToken;
    Tunnel tunnel;
    bool online = false;
    QObject::connect(&tunnel, &Tunnel::tunnel_info, [&](int type, const QString &) {
        if (type == 1)
            online = true;
    });
    tunnel.TunnelInit(&record);
    if (!tunnel.TunnelStart()) {
        std::fprintf(stderr, "tunnel did not start\n");
        return 2;
    }
    for (int i = 0; i < 100 && !online; ++i)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);

    const Target targets[] = {{"direct", LocalAddress, echoPort, {}},
                              {"socat", SocatAddress, SocatPort, {}},
                              {"road", ServerAddress, record.serverPort, {}},
                              {"web", ServerAddress, WebPort, record.domain.toStdString()},
                              {"relay", ServerAddress, record.serverPort, {}},
                              {"relayweb", ServerAddress, WebPort, record.domain.toStdString()}};
    const std::string token = record.token.toStdString();
    const qint64 serverPid = server.processId();
    int status = 0;
    std::thread bench([&] {
        constexpr size_t Bytes = 256u * 1024 * 1024;
        std::printf("%-8s %12s %10s %10s %14s %10s\n", "path", "echo MB/s", "rtt p50us",
                    "rtt p99us", "500 visitors s", "new conn us");
        double direct[4] = {};
        double port[3] = {}; // the last port tunnel's throughput, p50, new connection
        std::atomic<bool> rawOnline{false};
        for (const Target &t : targets) {
            if (t.name == std::string("relay")) {
                // The engine steps aside for the pause-free stand-in client.
                QMetaObject::invokeMethod(
                    &tunnel, [&] { tunnel.TunnelStop(); }, Qt::BlockingQueuedConnection);
                std::thread(rawClient, token, echoPort, std::ref(rawOnline), ServerAddress)
                    .detach();
                for (int i = 0; i < 100 && !rawOnline; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            double p50, p99;
            const double cpuBefore = cpuSeconds(serverPid);
            const double mbps = echoThroughput(t, Bytes);
            const double cpuUsed = cpuSeconds(serverPid) - cpuBefore;
            roundTrips(t, 2000, p50, p99);
            const long rssBefore = rssKb(serverPid);
            std::vector<int> fds;
            const double visitors = concurrentVisitors(t, fds);
            const long rssOpen = rssKb(serverPid);
            for (int fd : fds)
                if (fd >= 0)
                    ::close(fd);
            const double fresh = newConnectionMicros(t);
            std::printf("%-8s %12.1f %10.1f %10.1f %14.3f %10.1f\n", t.name, mbps, p50, p99,
                        visitors, fresh);
            if (t.host.empty()) {
                port[0] = mbps;
                port[1] = p50;
                port[2] = fresh;
            } else if (port[0] > 0 && mbps > 0) {
                std::printf("         web tunnel to port tunnel: throughput %.2f, p50 %.2fx; "
                            "routing by name %+.1f us per new connection\n",
                            mbps / port[0], p50 / port[1], fresh - port[2]);
            }
            if (t.name == std::string("direct")) {
                direct[0] = mbps;
                direct[1] = p50;
                direct[2] = p99;
                direct[3] = visitors;
            } else if (direct[0] > 0 && mbps > 0 && visitors > 0) {
                std::printf("         ratio to direct: throughput %.2f, p50 %.1fx, p99 %.1fx, "
                            "500 visitors %.1fx\n",
                            mbps / direct[0], p50 / direct[1], p99 / direct[2],
                            visitors / direct[3]);
            } else {
                status = 1;
            }
            if (t.name != std::string("direct") && t.name != std::string("socat")) {
                // Both directions cross the relay: 2 x Bytes relayed.
                std::printf("         relay server: %.2f CPU s per GB relayed; RSS %ld kB with "
                            "%d visitors open, %.1f kB per visitor (data connection included)\n",
                            cpuUsed / (2.0 * Bytes / 1e9), rssOpen, Visitors,
                            double(rssOpen - rssBefore) / Visitors);
            }
            std::fflush(stdout);
        }

        // The pause-free client is still signed in: the same road quiet, then under a flood.
        const Target &relay = targets[4];
        const RoadUnderLoad quiet = measureSignInsAndVisitor(relay, signInToken);
        std::atomic<bool> stop{false};
        std::atomic<int> relayOpen{0}, apiOpen{0};
        std::thread flooding(flood, std::ref(stop), std::ref(relayOpen), std::ref(apiOpen));
        for (int i = 0; i < 200 && (relayOpen < FloodRelayConnections || apiOpen < FloodApiClients);
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const long floodRss = rssKb(serverPid);
        const RoadUnderLoad loaded = measureSignInsAndVisitor(relay, signInToken);
        const int relayHeld = relayOpen, apiHeld = apiOpen;
        stop = true;
        flooding.join();
        std::printf("\nflood: %d of %d silent relay connections and %d of %d slow API clients "
                    "open at the start of the measurement; service RSS %ld kB\n",
                    relayHeld, FloodRelayConnections, apiHeld, FloodApiClients, floodRss);
        // Two measurements side by side, with the ratio of the second to the first.
        auto table = [](const char *title, const char *left, const char *right,
                        const RoadUnderLoad &a, const RoadUnderLoad &b) {
            std::printf("%-22s %10s %10s %8s\n", title, left, right, "ratio");
            auto row = [](const char *name, double x, double y) {
                std::printf("%-22s %10.2f %10.2f %8.2f\n", name, x, y, x > 0 ? y / x : 0.0);
            };
            row("api sign-in p50 ms", a.apiMs.p50, b.apiMs.p50);
            row("api sign-in p99 ms", a.apiMs.p99, b.apiMs.p99);
            row("relay LOGIN p50 ms", a.loginMs.p50, b.loginMs.p50);
            row("relay LOGIN p99 ms", a.loginMs.p99, b.loginMs.p99);
            row("visitor rtt p50 us", a.rttUs.p50, b.rttUs.p50);
            row("visitor rtt p99 us", a.rttUs.p99, b.rttUs.p99);
        };
        table("", "quiet", "flood", quiet, loaded);
        if (!quiet.ok || !loaded.ok)
            status = 1;
        if (!onPostgres.signInToken.empty()) {
            // The same quiet figures with the service's data on PostgreSQL.
            std::atomic<bool> pgOnline{false};
            std::thread(rawClient, onPostgres.record.token.toStdString(), echoPort,
                        std::ref(pgOnline), PostgresAddress)
                .detach();
            for (int i = 0; i < 100 && !pgOnline; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const Target pgRelay{"relay", PostgresAddress, onPostgres.record.serverPort, {}};
            const RoadUnderLoad pg = measureSignInsAndVisitor(pgRelay, onPostgres.signInToken);
            std::printf("\n");
            table("quiet", "sqlite", "postgres", quiet, pg);
            if (!pg.ok)
                status = 1;
        }
        std::fflush(stdout);
        QMetaObject::invokeMethod(qApp, "quit", Qt::QueuedConnection);
    });
    app.exec();
    bench.join();
    if (relayNode(serverBin, beforeBin, echoPort) != 0)
        status = 1;
    socat.terminate();
    server.terminate();
    socat.waitForFinished();
    server.waitForFinished();
    pgServer.terminate();
    pgServer.waitForFinished();
    return status;
}
