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
// a visitor's round trip, p50 and p99.
//
// Usage: bench_road [path to borvane-server]

#include "core/globals.h"
#include "net/httprequest.h"
#include "tunnel/tunnel.h"
#include "tunnel/tunnelrecord.h"

#include "benchutil.h"
#include "floodsocket.h"

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
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace benchutil;

const char *const ServerAddress = "127.0.0.180";
const char *const SocatAddress = "127.0.0.182";
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
void rawClient(const std::string &token, int echoPort, std::atomic<bool> &online)
{
    const int control = connectTo(ServerAddress, 8888);
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
        std::thread([uid, echoPort] {
            const int local = connectTo(LocalAddress, echoPort);
            const int data = connectTo(ServerAddress, 8888);
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

// Milliseconds of one API sign-in (the password hash dominates), 0 on a failure.
double apiSignIn()
{
    const auto start = Clock::now();
    const int fd = connectTo(ServerAddress, 8080);
    if (fd < 0)
        return 0;
    const std::string request = "GET /user?userId=&token=&phone=13800000000&pwd=demo123456 "
                                "HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    std::string answer;
    char buffer[4096];
    if (sendAll(fd, request.data(), request.size()))
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, size_t(n));
    ::close(fd);
    return answer.find("\"flag\":true") != std::string::npos ? secondsSince(start) * 1e3 : 0;
}

// Milliseconds from connecting to LOGINOK for a tunnel token, 0 on a failure.
double relaySignIn(const std::string &token)
{
    const auto start = Clock::now();
    const int fd = connectTo(ServerAddress, 8888);
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
        api.push_back(apiSignIn());
    for (int i = 0; i < 200; ++i)
        login.push_back(relaySignIn(signInToken));
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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    const QString serverBin =
        argc > 1 ? QString::fromLocal8Bit(argv[1])
                 : QCoreApplication::applicationDirPath() + QStringLiteral("/../borvane-server");
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

    // Sign in and start the demo tunnel with the client's own code.
    apiBaseUrl = QStringLiteral("http://%1:8080/").arg(ServerAddress);
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
    const std::string signInToken =
        list.value("data").toList().value(1).toMap().value("token").toString().toStdString();
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
                std::thread(rawClient, token, echoPort, std::ref(rawOnline)).detach();
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
        std::printf("%-22s %10s %10s %8s\n", "", "quiet", "flood", "ratio");
        auto row = [](const char *name, double a, double b) {
            std::printf("%-22s %10.2f %10.2f %8.2f\n", name, a, b, a > 0 ? b / a : 0.0);
        };
        row("api sign-in p50 ms", quiet.apiMs.p50, loaded.apiMs.p50);
        row("api sign-in p99 ms", quiet.apiMs.p99, loaded.apiMs.p99);
        row("relay LOGIN p50 ms", quiet.loginMs.p50, loaded.loginMs.p50);
        row("relay LOGIN p99 ms", quiet.loginMs.p99, loaded.loginMs.p99);
        row("visitor rtt p50 us", quiet.rttUs.p50, loaded.rttUs.p50);
        row("visitor rtt p99 us", quiet.rttUs.p99, loaded.rttUs.p99);
        if (!quiet.ok || !loaded.ok)
            status = 1;
        std::fflush(stdout);
        QMetaObject::invokeMethod(qApp, "quit", Qt::QueuedConnection);
    });
    app.exec();
    bench.join();
    socat.terminate();
    server.terminate();
    socat.waitForFinished();
    server.waitForFinished();
    return status;
}
