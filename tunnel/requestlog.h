#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

// One request that went through a tunnel, as its data connection's inspector saw it: the head
// of the request and of its answer, and how many bytes each way. Nothing of a body is kept.
struct RequestEntry
{
    QDateTime time; // when the request's first byte came through
    QString method; // empty for a connection that is not HTTP/1.x (a raw one)
    QString path;   // as sent, query string included
    QString host;
    int status = 0;        // 0: no complete answer came
    qint64 bytesIn = 0;    // visitor to the local service, head included
    qint64 bytesOut = 0;   // the local service to the visitor, head included
    qint64 durationMs = 0; // first byte of the request to the last of its answer

    bool isRaw() const { return method.isEmpty(); }
};

// The latest requests of one tunnel, newest last, at most MaxEntries, in memory only. Written by
// the relay's threads (one lock per finished request) and read by the window and the status
// API; lives as long as the longest of its holders.
class RequestLog
{
public:
    static constexpr int MaxEntries = 200;

    void add(RequestEntry entry);
    QList<RequestEntry> entries() const;
    // Goes up with every entry: a reader tells whether anything is new without copying.
    quint64 version() const { return added.load(std::memory_order_relaxed); }
    void clear();

private:
    mutable std::mutex mutex;
    std::deque<RequestEntry> list;
    std::atomic<quint64> added{0};
};

// Follows the HTTP/1.x messages of one data connection as its bytes pass, without copying or
// holding them: only request and answer heads are read (into a small buffer), bodies are
// skipped by their Content-Length or chunk sizes. Each direction is fed by its own thread; the
// two meet under a lock only when a request's head is complete and when its answer ends. A
// connection whose first bytes are not a request, or that it cannot follow, is noted as one
// raw entry when the connection ends.
class HttpInspector
{
public:
    explicit HttpInspector(std::shared_ptr<RequestLog> log);
    ~HttpInspector(); // the connection is over: what is still open is noted
    HttpInspector(const HttpInspector &) = delete;
    HttpInspector &operator=(const HttpInspector &) = delete;

    // Bytes the visitor sent towards the local service, before they are forwarded: the answer
    // must not overtake the request it belongs to.
    void visitorBytes(const char *data, int length);
    // Bytes the local service sent back, after they were forwarded.
    void serviceBytes(const char *data, int length);

    // A head longer than this is not followed.
    static constexpr int MaxHeadBytes = 16 * 1024;
    // Requests sent ahead of their answers; past this the connection is not followed.
    static constexpr int MaxWaitingRequests = 64;
    // A longer path is kept cut, with an ellipsis.
    static constexpr int MaxPathChars = 2048;

private:
    struct Direction;
    // A request whose own end or whose answer's end has not come yet; in arrival order.
    struct Pending
    {
        RequestEntry entry;
        quint64 seq = 0;
        qint64 startMs = 0;
        bool requestDone = false;
        bool answered = false;
        bool answerStarted = false;
    };

    void feed(Direction &d, const char *data, int length);
    bool requestHead(Direction &d);
    bool answerHead(Direction &d);
    void messageDone(Direction &d);

    std::shared_ptr<RequestLog> log;
    std::unique_ptr<Direction> visitor;
    std::unique_ptr<Direction> service;
    std::mutex mutex; // waiting, shared by the two directions
    std::deque<Pending> waiting;
    quint64 nextSeq = 1;
    std::atomic<bool> raw{false};      // the connection is not followed (any more)
    std::atomic<bool> upgraded{false}; // a 101 answer: the rest is another protocol
    QDateTime opened;
    qint64 openedMs;
};
