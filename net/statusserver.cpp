#include "statusserver.h"

// First among the system headers: on Windows it brings in winsock2.h before anything can bring
// in the older winsock.h through windows.h.
#include <httplib.h>

#include <QDebug>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// A local page and a local script need one or two; the rest are there so that visitors who
// trickle their request a byte at a time (each byte resets the read timeout, and the library
// gives no hook to bound a whole request's time) cannot take every worker.
constexpr int WorkerThreads = 8;
// Shorter than StopWaitMs: a visitor that stalls mid-request is dropped before the stop at
// exit gives up waiting for it.
constexpr int ReadTimeoutSeconds = 1;
constexpr int KeepAliveSeconds = 1;
// Requests one connection may make in a row before it is closed and its worker freed.
constexpr int KeepAliveRequests = 5;
// Nothing is ever posted here; a request with a body is refused before it is read in full.
constexpr size_t MaxPayloadBytes = 4096;
// The library refuses a header line or a path past 8 KiB, but takes any number of lines.
constexpr size_t MaxHeaderLines = 64;

const char JsonType[] = "application/json; charset=utf-8";
const char HtmlType[] = "text/html; charset=utf-8";
const char TextType[] = "text/plain; charset=utf-8";

// "[::1]:80" -> "::1" and 80; "localhost" -> "localhost" and -1. False when malformed.
bool splitHostPort(const QString &text, QString *host, int *port)
{
    *port = -1;
    QString rest;
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        *host = text.mid(1, close - 1);
        rest = text.mid(close + 1);
    } else {
        const int colon = text.indexOf(QLatin1Char(':'));
        // An IPv6 address names its port only inside brackets.
        if (colon >= 0 && text.indexOf(QLatin1Char(':'), colon + 1) >= 0)
            return false;
        *host = colon < 0 ? text : text.left(colon);
        rest = colon < 0 ? QString() : text.mid(colon);
    }
    if (host->isEmpty())
        return false;
    if (rest.isEmpty())
        return true;
    const QString digits = rest.mid(1);
    if (!rest.startsWith(QLatin1Char(':')) || digits.isEmpty() || digits.size() > 5)
        return false;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    *port = digits.toInt();
    return *port <= 65535;
}

bool isLocalhostName(const QString &host)
{
    return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0;
}

bool isLoopbackName(const QString &host)
{
    if (isLocalhostName(host))
        return true;
    QHostAddress address;
    return address.setAddress(host) && address.isLoopback();
}

// A JSON object whose members keep the order they were added in, so that people can read it
// too (QJsonObject sorts them). Qt writes every key and value.
class OrderedObject
{
public:
    OrderedObject &add(const char *key, const QJsonValue &value)
    {
        return addText(key, valueText(value));
    }
    OrderedObject &add(const char *key, const OrderedObject &object)
    {
        return addText(key, object.text());
    }
    QByteArray text() const { return '{' + members.join(',') + '}'; }

    static QByteArray valueText(const QJsonValue &value)
    {
        const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        return array.mid(1, array.size() - 2);
    }

private:
    OrderedObject &addText(const char *key, const QByteArray &text)
    {
        members.append(valueText(QLatin1String(key)) + ':' + text);
        return *this;
    }

    QList<QByteArray> members;
};

QJsonValue rounded(double value)
{
    return qint64(std::isfinite(value) ? std::llround(value) : 0);
}

QString html(const QString &text)
{
    return text.toHtmlEscaped();
}

void setCommonHeaders(httplib::Response &res)
{
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    // Tunnel names are the user's own text: the page runs no script and loads nothing.
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'");
}

void sendBody(httplib::Response &res, const QByteArray &body, const char *type)
{
    setCommonHeaders(res);
    res.set_content(body.constData(), size_t(body.size()), type);
}

void refuse(httplib::Response &res, int status, const char *text)
{
    res.status = status;
    setCommonHeaders(res);
    res.set_content(text, TextType);
}

} // namespace

struct StatusServer::Running
{
    httplib::Server http;
    std::thread thread;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
};

StatusServer::StatusServer(std::shared_ptr<const StatusBoard> board) : board(std::move(board)) {}

StatusServer::~StatusServer()
{
    stop();
}

int StatusServer::port() const
{
    return running ? running->port : 0;
}

bool StatusServer::start(const QString &address)
{
    if (running)
        return true;
    QString host;
    int port = -1;
    if (!splitHostPort(address, &host, &port) || port < 0 || !isLoopbackName(host)) {
        qWarning().noquote() << "StatusApi 本地状态接口只监听本机地址，未启动：" + address;
        return false;
    }

    auto r = std::make_shared<Running>();
    Running *self = r.get();
    // The answers hold the board too: a thread still finishing one at exit reads a live board.
    std::shared_ptr<const StatusBoard> source = board;
    httplib::Server &http = r->http;
    http.new_task_queue = [] { return new httplib::ThreadPool(WorkerThreads); };
    http.set_read_timeout(ReadTimeoutSeconds);
    http.set_write_timeout(ReadTimeoutSeconds);
    http.set_keep_alive_timeout(KeepAliveSeconds);
    http.set_keep_alive_max_count(KeepAliveRequests);
    http.set_payload_max_length(MaxPayloadBytes);
    // The library's default shares the port with any later listener of the same user
    // (SO_REUSEPORT): a second copy of the program would bind it too and split the answers.
    http.set_socket_options([](auto sock) {
        int yes = 1;
#ifdef _WIN32
        setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&yes),
                   sizeof(yes));
#else
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
#endif
    });
    // A web page can point a name of its own at 127.0.0.1; its requests then carry that name.
    http.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        if (req.headers.size() > MaxHeaderLines) {
            refuse(res, 431, "too many header lines\n");
            return httplib::Server::HandlerResponse::Handled;
        }
        const QString hostHeader = QString::fromStdString(req.get_header_value("Host"));
        if (!isLoopbackHost(hostHeader)) {
            refuse(res, 403, "forbidden host\n");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // The board as JSON or as a page.
    const auto serveBoard = [self, source](bool asPage) {
        return [self, source, asPage](const httplib::Request &, httplib::Response &res) {
            if (self->stopping)
                return refuse(res, 503, "stopping\n");
            if (asPage)
                sendBody(res, page(source->snapshot()), HtmlType);
            else
                sendBody(res, tunnelsJson(source->snapshot()), JsonType);
        };
    };
    http.Get("/api/tunnels", serveBoard(false));
    // A tunnel's requests as JSON or as a page; a domain the board does not know gets 404.
    const auto serveRequests = [self, source](bool asPage) {
        return [self, source, asPage](const httplib::Request &req, httplib::Response &res) {
            if (self->stopping)
                return refuse(res, 503, "stopping\n");
            const QString domain = QString::fromStdString(req.matches[1].str());
            const std::shared_ptr<RequestLog> log = source->requests(domain);
            if (!log)
                return refuse(res, 404, "no such tunnel\n");
            if (asPage)
                sendBody(res, requestsPage(domain, log->entries()), HtmlType);
            else
                sendBody(res, requestsJson(log->entries()), JsonType);
        };
    };
    http.Get(R"(/api/tunnels/([^/]+)/requests)", serveRequests(false));
    http.Get(R"(/requests/([^/]+))", serveRequests(true));
    http.Get("/", serveBoard(true));
    const auto readOnly = [](const httplib::Request &, httplib::Response &res) {
        res.set_header("Allow", "GET, HEAD");
        refuse(res, 405, "read-only\n");
    };
    http.Post(".*", readOnly);
    http.Put(".*", readOnly);
    http.Patch(".*", readOnly);
    http.Delete(".*", readOnly);
    http.Options(".*", readOnly);

    const std::string bindHost =
        isLocalhostName(host) ? std::string("127.0.0.1") : host.toStdString();
    const int bound = port == 0 ? http.bind_to_any_port(bindHost)
                                : (http.bind_to_port(bindHost, port) ? port : -1);
    if (bound <= 0) {
        qWarning().noquote() << "StatusApi 地址已被占用，本地状态接口未启动：" + address;
        return false;
    }
    r->port = bound;
    // The thread holds the state too: when stop() stops waiting for it, it still has a live
    // server to finish with.
    r->thread = std::thread([r] {
        r->http.listen_after_bind();
        {
            std::lock_guard<std::mutex> lock(r->mutex);
            r->done = true;
        }
        r->ended.notify_all();
    });
    running = std::move(r);
    qDebug().noquote() << "StatusApi" << address << "port" << bound;
    return true;
}

void StatusServer::stop()
{
    if (!running)
        return;
    const std::shared_ptr<Running> r = std::move(running);
    r->stopping = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(StopWaitMs);
    std::unique_lock<std::mutex> lock(r->mutex);
    // The server counts as running only once its thread has entered it; a stop before that
    // would be lost and the thread would listen on.
    while (!r->done && !r->http.is_running() && std::chrono::steady_clock::now() < deadline)
        r->ended.wait_for(lock, std::chrono::milliseconds(5));
    if (!r->done && r->http.is_running())
        r->http.stop();
    const bool ended = r->ended.wait_until(lock, deadline, [&] { return r->done; });
    lock.unlock();
    if (ended) {
        r->thread.join();
    } else {
        qWarning() << "StatusApi 仍有回答未完成，不再等待";
        r->thread.detach();
    }
}

QByteArray StatusServer::tunnelsJson(const QList<TunnelStatus> &tunnels)
{
    QList<QByteArray> list;
    for (const TunnelStatus &t : tunnels) {
        list.append(
            OrderedObject()
                .add("name", t.name)
                .add("domain", t.domain)
                .add("publicAddress", t.publicAddress)
                .add("localAddress", t.localAddress)
                .add("state", TunnelStatus::stateName(t.state))
                .add("stateReason", t.stateReason)
                .add("connections", OrderedObject()
                                        .add("active", t.activeConnections)
                                        .add("total", t.totalConnections)
                                        .add("failed", t.failedConnections))
                .add("bytes", OrderedObject().add("in", t.bytesIn).add("out", t.bytesOut))
                .add("rate",
                     OrderedObject().add("in", rounded(t.rateIn)).add("out", rounded(t.rateOut)))
                .add("rttMs", t.rttMs < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(t.rttMs))
                .text());
    }
    return "{\"tunnels\":[" + list.join(',') + "]}\n";
}

QByteArray StatusServer::page(const QList<TunnelStatus> &tunnels)
{
    QString rows;
    for (const TunnelStatus &t : tunnels) {
        QString state = html(statustext::state(t.state));
        if (!t.stateReason.isEmpty())
            state +=
                QStringLiteral("<br><small>") + html(t.stateReason) + QStringLiteral("</small>");
        const auto cell = [](const QString &text) {
            return QStringLiteral("<td>") + text + QStringLiteral("</td>");
        };
        // Put together piece by piece: a name may itself hold "%1".
        rows +=
            QStringLiteral("<tr class=\"") + TunnelStatus::stateName(t.state) +
            QStringLiteral("\">") +
            cell(html(t.name) + QStringLiteral(" <small><a href=\"/requests/") +
                 QString::fromUtf8(QUrl::toPercentEncoding(t.domain)) +
                 QStringLiteral("\">请求</a></small>")) +
            cell(html(t.publicAddress)) + cell(html(t.localAddress)) + cell(state) +
            cell(QString::number(t.activeConnections) + QStringLiteral(" / ") +
                 QString::number(t.totalConnections) + QStringLiteral(" / ") +
                 QString::number(t.failedConnections)) +
            cell(statustext::bytes(double(t.bytesIn)) + QStringLiteral(" / ") +
                 statustext::bytes(double(t.bytesOut))) +
            cell(statustext::rate(t.rateIn) + QStringLiteral(" / ") + statustext::rate(t.rateOut)) +
            cell(statustext::roundTrip(t.rttMs)) + QStringLiteral("</tr>\n");
    }
    if (tunnels.isEmpty())
        rows = QStringLiteral("<tr><td colspan=\"8\">暂无隧道</td></tr>\n");

    // Read once; the page is the same file for every answer.
    static const QString layout = [] {
        Q_INIT_RESOURCE(status);
        QFile file(QStringLiteral(":/status/statuspage.html"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }();
    const QString text = layout.arg(PageRefreshSeconds).arg(rows);
    return text.toUtf8();
}

QByteArray StatusServer::requestsJson(const QList<RequestEntry> &requests)
{
    QList<QByteArray> list;
    list.reserve(requests.size());
    for (auto it = requests.crbegin(); it != requests.crend(); ++it) {
        const RequestEntry &e = *it;
        list.append(
            OrderedObject()
                .add("time", e.time.toString(Qt::ISODateWithMs))
                .add("raw", e.isRaw())
                .add("method", e.method)
                .add("path", e.path)
                .add("host", e.host)
                .add("status", e.status > 0 ? QJsonValue(e.status) : QJsonValue(QJsonValue::Null))
                .add("bytesIn", e.bytesIn)
                .add("bytesOut", e.bytesOut)
                .add("durationMs", e.durationMs)
                .text());
    }
    return "{\"requests\":[" + list.join(',') + "]}\n";
}

QByteArray StatusServer::requestsPage(const QString &domain, const QList<RequestEntry> &requests)
{
    QString rows;
    const auto cell = [](const QString &text) {
        return QStringLiteral("<td>") + text + QStringLiteral("</td>");
    };
    for (auto it = requests.crbegin(); it != requests.crend(); ++it) {
        const RequestEntry &e = *it;
        rows +=
            QStringLiteral("<tr>") +
            cell(html(e.time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")))) +
            cell(e.isRaw() ? QStringLiteral("TCP") : html(e.method)) +
            cell(e.isRaw() ? QStringLiteral("<small>不是 HTTP 请求的连接</small>") : html(e.path)) +
            cell(html(e.host)) +
            cell(e.status > 0 ? QString::number(e.status) : QStringLiteral("-")) +
            cell(statustext::bytes(double(e.bytesIn)) + QStringLiteral(" / ") +
                 statustext::bytes(double(e.bytesOut))) +
            cell(QString::number(e.durationMs) + QStringLiteral(" ms")) + QStringLiteral("</tr>\n");
    }
    if (requests.isEmpty())
        rows = QStringLiteral("<tr><td colspan=\"7\">还没有请求</td></tr>\n");
    const QString path = QString::fromUtf8(QUrl::toPercentEncoding(domain));
    return (QStringLiteral("<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
                           "<meta http-equiv=\"refresh\" content=\"") +
            QString::number(PageRefreshSeconds) + QStringLiteral("\"><title>请求记录 - ") +
            html(domain) +
            QStringLiteral(
                "</title><style>body{font-family:sans-serif;margin:24px;color:#333}"
                "h1{font-size:18px;color:#2894f3}table{border-collapse:collapse}"
                "th,td{border-bottom:1px solid #e4e8ee;padding:6px 12px;text-align:"
                "left;font-size:13px;word-break:break-all}th{background:#f2f6fa}"
                "small,p{color:#888;font-size:12px}</style></head><body>\n<h1>请求记录 - ") +
            html(domain) +
            QStringLiteral(
                "</h1>\n<table>\n<tr><th>时间</th><th>方法</th><th>路径</th><th>Host</th>"
                "<th>状态</th><th>字节 入 / 出</th><th>耗时</th></tr>\n") +
            rows +
            QStringLiteral("</table>\n<p>最近 %1 条，最多保留 %2 条，只在内存中，不含请求内容。"
                           "<a href=\"/\">返回</a> · JSON：<a href=\"/api/tunnels/")
                .arg(requests.size())
                .arg(RequestLog::MaxEntries) +
            path + QStringLiteral("/requests\">/api/tunnels/") + html(domain) +
            QStringLiteral("/requests</a></p>\n</body></html>\n"))
        .toUtf8();
}

bool StatusServer::isLoopbackHost(const QString &host)
{
    QString name;
    int port = -1;
    return splitHostPort(host.trimmed(), &name, &port) && isLoopbackName(name);
}
