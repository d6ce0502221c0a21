#include "requestlog.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A chunk-size line or a trailer line longer than this is not HTTP we can follow.
constexpr int MaxLineBytes = 1024;
constexpr int MaxMethodChars = 10;

// Whether the first bytes of a message can start a request line (a method in capitals, then a
// space) or an answer's status line; bytes too few to tell count as yes.
bool plausibleStart(bool request, const char *data, int length)
{
    if (!request) {
        static const char version[] = "HTTP/1.";
        return std::equal(data, data + qMin(length, 7), version);
    }
    for (int i = 0; i < length && i <= MaxMethodChars; ++i) {
        const char c = data[i];
        if (c == ' ')
            return i > 0;
        if (c < 'A' || c > 'Z')
            return false;
    }
    return length <= MaxMethodChars;
}

struct Head
{
    bool ok = false;
    QByteArray first[3]; // method, target, version / version, status, reason
    QByteArray host;
    qint64 contentLength = -1;
    bool chunked = false;
};

Head parseHead(const QByteArray &bytes)
{
    Head h;
    const QList<QByteArray> lines = bytes.split('\n');
    if (lines.isEmpty())
        return h;
    const QByteArray start = lines.first().trimmed();
    const int a = start.indexOf(' ');
    const int b = a < 0 ? -1 : start.indexOf(' ', a + 1);
    if (a <= 0)
        return h;
    h.first[0] = start.left(a);
    h.first[1] = b < 0 ? start.mid(a + 1) : start.mid(a + 1, b - a - 1);
    h.first[2] = b < 0 ? QByteArray() : start.mid(b + 1);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "host") {
            h.host = value;
        } else if (name == "content-length") {
            bool ok = false;
            const qint64 n = value.toLongLong(&ok);
            if (!ok || n < 0 || (h.contentLength >= 0 && h.contentLength != n))
                return h; // a length we cannot trust
            h.contentLength = n;
        } else if (name == "transfer-encoding") {
            h.chunked = value.toLower().endsWith("chunked");
        }
    }
    h.ok = true;
    return h;
}

// How many bytes of data complete the head whose start is in line (the blank line included), or
// -1 when data does not complete it.
int headEnd(const QByteArray &line, const char *data, int length)
{
    static const char blank[] = "\r\n\r\n";
    // Across the seam: up to three bytes of the line, then the start of data.
    const int carried = qMin(line.size(), 3);
    QByteArray seam = line.right(carried);
    seam.append(data, qMin(length, 3));
    const int inSeam = seam.indexOf(blank);
    if (inSeam >= 0)
        return inSeam + 4 - carried;
    const char *found = std::search(data, data + length, blank, blank + 4);
    return found == data + length ? -1 : int(found - data) + 4;
}

} // namespace

void RequestLog::add(RequestEntry entry)
{
    std::lock_guard<std::mutex> lock(mutex);
    list.push_back(std::move(entry));
    if (list.size() > size_t(MaxEntries))
        list.pop_front();
    added.fetch_add(1, std::memory_order_relaxed);
}

QList<RequestEntry> RequestLog::entries() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return QList<RequestEntry>(list.begin(), list.end());
}

void RequestLog::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    list.clear();
    added.fetch_add(1, std::memory_order_relaxed);
}

// Where one direction is in its current message. Touched only by that direction's thread.
struct HttpInspector::Direction
{
    enum class Mode { Head, Body, ChunkSize, ChunkData, Trailer, UntilClose };

    explicit Direction(bool fromVisitor) : fromVisitor(fromVisitor) {}

    const bool fromVisitor;
    Mode mode = Mode::Head;
    QByteArray line;      // the current head, chunk-size line or trailer line, so far
    qint64 remaining = 0; // of the body, or of the chunk and its line end
    qint64 bytes = 0;     // of the current message so far
    qint64 rawBytes = 0;  // once the connection is not followed
    quint64 seq = 0;      // the request this message belongs to
};

HttpInspector::HttpInspector(std::shared_ptr<RequestLog> log)
    : log(std::move(log)), visitor(std::make_unique<Direction>(true)),
      service(std::make_unique<Direction>(false)), opened(QDateTime::currentDateTime()),
      openedMs(steadyMs())
{
}

HttpInspector::~HttpInspector()
{
    // Both directions have ended: nothing feeds any more, no lock needed.
    const qint64 now = steadyMs();
    if (raw) {
        RequestEntry entry;
        entry.time = opened;
        // Everything the connection carried, whatever was already read of it.
        entry.bytesIn = visitor->rawBytes + visitor->bytes;
        entry.bytesOut = service->rawBytes + service->bytes;
        for (const Pending &p : waiting) {
            entry.bytesIn += p.entry.bytesIn;
            entry.bytesOut += p.entry.bytesOut;
        }
        entry.durationMs = now - openedMs;
        log->add(entry);
        return;
    }
    // What is still open ends with the connection: an answer read to the close, or none.
    for (Pending &p : waiting) {
        if (p.seq == visitor->seq)
            p.entry.bytesIn += visitor->bytes;
        if (p.seq == service->seq && p.answerStarted && !p.answered) {
            p.entry.bytesOut += service->bytes;
            p.entry.durationMs = now - p.startMs;
        }
        log->add(p.entry);
    }
}

void HttpInspector::visitorBytes(const char *data, int length)
{
    feed(*visitor, data, length);
}

void HttpInspector::serviceBytes(const char *data, int length)
{
    feed(*service, data, length);
}

void HttpInspector::feed(Direction &d, const char *data, int length)
{
    using Mode = Direction::Mode;
    while (length > 0) {
        if (raw.load(std::memory_order_relaxed)) {
            d.rawBytes += length;
            return;
        }
        if (d.mode == Mode::Head && upgraded.load(std::memory_order_relaxed))
            d.mode = Mode::UntilClose;
        int used = length;
        switch (d.mode) {
        case Mode::Head: {
            if (d.line.isEmpty() && !plausibleStart(d.fromVisitor, data, length)) {
                d.rawBytes += length;
                raw = true;
                return;
            }
            // Only the head is copied: its end is looked for where the bytes are.
            const int end = headEnd(d.line, data, length);
            used = end < 0 ? length : end;
            d.bytes += used;
            if (d.line.size() + used > MaxHeadBytes) {
                d.rawBytes += length - used;
                raw = true;
                return;
            }
            d.line.append(data, used);
            if (end < 0)
                return;
            if (!(d.fromVisitor ? requestHead(d) : answerHead(d))) {
                d.rawBytes += length - used;
                raw = true;
                return;
            }
            d.line.clear();
            break;
        }
        case Mode::Body:
        case Mode::ChunkData:
            used = int(qMin<qint64>(d.remaining, length));
            d.remaining -= used;
            d.bytes += used;
            if (d.remaining == 0 && d.mode == Mode::Body)
                messageDone(d);
            else if (d.remaining == 0)
                d.mode = Mode::ChunkSize;
            break;
        case Mode::ChunkSize:
        case Mode::Trailer: {
            const char *newline = static_cast<const char *>(memchr(data, '\n', size_t(length)));
            used = newline ? int(newline - data) + 1 : length;
            d.line.append(data, used);
            d.bytes += used;
            if (d.line.size() > MaxLineBytes) {
                raw = true;
                return;
            }
            if (!newline)
                break;
            const QByteArray line = d.line.trimmed();
            d.line.clear();
            if (d.mode == Mode::Trailer) {
                if (line.isEmpty())
                    messageDone(d);
                break;
            }
            bool ok = false;
            const qint64 size = line.left(line.indexOf(';') < 0 ? line.size() : line.indexOf(';'))
                                    .trimmed()
                                    .toLongLong(&ok, 16);
            if (!ok || size < 0) {
                raw = true;
                return;
            }
            if (size == 0) {
                d.mode = Mode::Trailer;
            } else {
                d.mode = Mode::ChunkData;
                d.remaining = size + 2; // the data and its CRLF
            }
            break;
        }
        case Mode::UntilClose:
            d.bytes += length;
            return;
        }
        data += used;
        length -= used;
    }
}

bool HttpInspector::requestHead(Direction &d)
{
    const Head h = parseHead(d.line);
    if (!h.ok || !h.first[2].startsWith("HTTP/1."))
        return false;
    Pending p;
    p.seq = nextSeq++;
    p.startMs = steadyMs();
    p.entry.time = QDateTime::currentDateTime();
    p.entry.method = QString::fromLatin1(h.first[0]);
    p.entry.path = QString::fromUtf8(h.first[1]);
    if (p.entry.path.size() > MaxPathChars)
        p.entry.path = p.entry.path.left(MaxPathChars - 1) + QChar(0x2026);
    p.entry.host = QString::fromUtf8(h.host);
    d.seq = p.seq;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (waiting.size() >= size_t(MaxWaitingRequests))
            return false;
        waiting.push_back(std::move(p));
    }
    if (h.chunked) {
        d.mode = Direction::Mode::ChunkSize;
    } else if (h.contentLength > 0) {
        d.mode = Direction::Mode::Body;
        d.remaining = h.contentLength;
    } else {
        messageDone(d); // a request without a length has no body
    }
    return true;
}

bool HttpInspector::answerHead(Direction &d)
{
    const Head h = parseHead(d.line);
    bool ok = false;
    const int status = h.first[1].toInt(&ok);
    if (!h.ok || !h.first[0].startsWith("HTTP/1.") || !ok || status < 100 || status > 999)
        return false;
    bool headRequest = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = std::find_if(waiting.begin(), waiting.end(),
                               [](const Pending &p) { return !p.answered; });
        if (it == waiting.end())
            return false; // an answer to nothing: not a conversation we follow
        it->entry.status = status;
        it->answerStarted = true;
        d.seq = it->seq;
        headRequest = it->entry.method == QLatin1String("HEAD");
    }
    if (status == 101) {
        // Another protocol follows on both sides; it is counted, not read.
        upgraded = true;
        d.mode = Direction::Mode::UntilClose;
        return true;
    }
    if (status < 200) {
        // An interim answer: its bytes count, the final one follows.
        std::lock_guard<std::mutex> lock(mutex);
        for (Pending &p : waiting)
            if (p.seq == d.seq)
                p.entry.bytesOut += d.bytes;
        d.bytes = 0;
        d.mode = Direction::Mode::Head;
        return true;
    }
    if (headRequest || status == 204 || status == 304) {
        messageDone(d);
    } else if (h.chunked) {
        d.mode = Direction::Mode::ChunkSize;
    } else if (h.contentLength >= 0) {
        d.mode = Direction::Mode::Body;
        d.remaining = h.contentLength;
        if (d.remaining == 0)
            messageDone(d);
    } else {
        d.mode = Direction::Mode::UntilClose; // the answer ends with the connection
    }
    return true;
}

void HttpInspector::messageDone(Direction &d)
{
    const qint64 now = steadyMs();
    std::lock_guard<std::mutex> lock(mutex);
    for (Pending &p : waiting) {
        if (p.seq != d.seq)
            continue;
        if (d.fromVisitor) {
            p.entry.bytesIn += d.bytes;
            p.requestDone = true;
        } else {
            p.entry.bytesOut += d.bytes;
            p.entry.durationMs = now - p.startMs;
            p.answered = true;
        }
        break;
    }
    d.bytes = 0;
    d.mode = Direction::Mode::Head;
    // Finished requests leave in order; one whose answer came first waits for its own end.
    while (!waiting.empty() && waiting.front().requestDone && waiting.front().answered) {
        log->add(std::move(waiting.front().entry));
        waiting.pop_front();
    }
}
