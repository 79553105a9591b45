#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// A small HTTP/1.1 server for tests, on 127.0.0.1 and an ephemeral port. Each
// path answers as configured, including the ways real servers fail: stalls,
// bodies cut short, and bodies dripped out slowly. Unknown paths get 404.
class TestHttpServer : public QTcpServer
{
    Q_OBJECT

public:
    struct Response
    {
        enum class Mode {
            Normal,   // headers and body at once
            Stall,    // read the request, never answer
            Truncate, // announce more bytes than are sent, then close
            Drip,     // send the body a chunk at a time
        };
        int status = 200;
        QByteArray reason = "OK";
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        Mode mode = Mode::Normal;
        int delayMs = 0;          // before answering at all
        qint64 truncateAt = -1;   // Truncate: bytes of the body actually sent
        int dripChunk = 1024;     // Drip
        qint64 sentAtOnce = 0;    // Drip: bytes of the body sent before the drip
        int dripIntervalMs = 10;  // Drip
        bool contentLength = true;
        bool chunked = false;     // the body in chunked framing; the modes act on the framed bytes
        int cutRequests = -1;     // Truncate: only this many requests are cut; -1: all
        int busyAfterCut = 0;     // the first this many requests for a range are answered 503
        bool busyResets = false;  // ... or have their connection reset, as a server that restarts
        bool awayAfterCut = false; // the test closes the server after the cut, so the next try is refused
        // Requests for a range ("Range: bytes=N-") are answered with 206 and the rest,
        // unless an If-Range names another validator than the ETag header given here.
        bool ranges = false;
        qint64 rangeStartShift = 0; // added to the Content-Range's start, as a faulty server would
        qint64 rangeTotalShift = 0; // added to its total
        qint64 rangeLengthShift = 0; // bytes added to (or, negative, cut from) the rest sent, and its Content-Length
        QByteArray rangeETag;        // the ETag a 206 names instead, as a cache that ignores If-Range would
    };

    static Response ok(const QByteArray &body);
    static Response status(int code, const QByteArray &reason, const QByteArray &body = {});
    static Response dripped(const QByteArray &body, int chunk, int intervalMs);

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    // Listens on 127.0.0.1, port 0; fails the calling test when it cannot.
    bool start();
    QUrl baseUrl() const;

    void setResponse(const QByteArray &path, const Response &response);

    // While held, dripped bodies send nothing more, so that a client stays mid-download.
    void setDripsHeld(bool held) { m_dripsHeld = held; }

    QList<QByteArray> requestedPaths() const { return m_requestedPaths; }
    int requestCount(const QByteArray &path) const { return m_requestedPaths.count(path); }
    // Each path asked for, once, sorted: what the client asked for, whatever Qt
    // sent again by itself (it resends a request whose connection closed at once).
    QList<QByteArray> distinctPaths() const;
    // The Range header of each request, "" for none, in order.
    QList<QByteArray> requestedRanges() const { return m_requestedRanges; }
    // Bytes of bodies sent, for a path.
    qint64 bodyBytesSent(const QByteArray &path) const { return m_bodyBytes.value(path); }

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const QByteArray &path, const QByteArray &range, const QByteArray &ifRange);
    void drip(QTcpSocket *socket, const QByteArray &path, QByteArray rest, int chunk, int intervalMs);

    QHash<QByteArray, Response> m_responses;
    QHash<QTcpSocket *, QByteArray> m_pending;
    QList<QByteArray> m_requestedPaths;
    QList<QByteArray> m_requestedRanges;
    QHash<QByteArray, qint64> m_bodyBytes;
    bool m_dripsHeld = false;
};

Q_DECLARE_METATYPE(TestHttpServer::Response)
