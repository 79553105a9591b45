#include "testhttpserver.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

TestHttpServer::Response TestHttpServer::ok(const QByteArray &body)
{
    Response response;
    response.body = body;
    return response;
}

TestHttpServer::Response TestHttpServer::status(int code, const QByteArray &reason,
                                                const QByteArray &body)
{
    Response response;
    response.status = code;
    response.reason = reason;
    response.body = body;
    return response;
}

TestHttpServer::Response TestHttpServer::dripped(const QByteArray &body, int chunk, int intervalMs)
{
    Response response = ok(body);
    response.mode = Response::Mode::Drip;
    response.dripChunk = chunk;
    response.dripIntervalMs = intervalMs;
    return response;
}

TestHttpServer::TestHttpServer(QObject *parent) : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer() = default;

bool TestHttpServer::start()
{
    return listen(QHostAddress::LocalHost, 0);
}

QUrl TestHttpServer::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(serverPort()));
}

QList<QByteArray> TestHttpServer::distinctPaths() const
{
    QList<QByteArray> paths = m_requestedPaths;
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    return paths;
}

void TestHttpServer::setResponse(const QByteArray &path, const Response &response)
{
    m_responses.insert(path, response);
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, socket] { m_pending.remove(socket); });
    }
}

void TestHttpServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = m_pending[socket];
    buffer += socket->readAll();
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    buffer.remove(0, end + 4);
    const QByteArray path = lines.constFirst().split(' ').value(1);
    QByteArray range;
    QByteArray ifRange;
    for (const QByteArray &line : lines.mid(1)) {
        const QByteArray name = line.left(line.indexOf(':')).trimmed().toLower();
        const QByteArray value = line.mid(line.indexOf(':') + 1).trimmed();
        if (name == "range")
            range = value;
        else if (name == "if-range")
            ifRange = value;
    }
    m_requestedPaths.append(path);
    m_requestedRanges.append(range);

    const Response response = m_responses.value(path, status(404, "Not Found", "no such file\n"));
    if (response.mode == Response::Mode::Stall)
        return;
    QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(response.delayMs, this, [this, guarded, path, range, ifRange] {
        if (guarded)
            answer(guarded, path, range, ifRange);
    });
}

void TestHttpServer::answer(QTcpSocket *socket, const QByteArray &path, const QByteArray &range,
                            const QByteArray &ifRange)
{
    Response response = m_responses.value(path, status(404, "Not Found", "no such file\n"));
    if (response.mode == Response::Mode::Truncate && response.cutRequests >= 0
        && m_requestedPaths.count(path) > response.cutRequests) {
        response.mode = Response::Mode::Normal;
    }
    if (!range.isEmpty() && response.busyAfterCut > 0) {
        qsizetype asked = 0;
        for (qsizetype i = 0; i < m_requestedPaths.size(); ++i)
            asked += m_requestedPaths.at(i) == path && !m_requestedRanges.at(i).isEmpty();
        if (asked <= response.busyAfterCut && response.busyResets) {
            socket->abort();
            return;
        }
        if (asked <= response.busyAfterCut)
            response = status(503, "Service Unavailable", "busy\n");
    }
    QByteArray contentRange;
    QByteArray validator; // the ETag, else Last-Modified, as If-Range compares it
    for (const auto &[name, value] : std::as_const(response.headers)) {
        if (name.compare("ETag", Qt::CaseInsensitive) == 0
            || (validator.isEmpty() && name.compare("Last-Modified", Qt::CaseInsensitive) == 0)) {
            validator = value;
        }
    }
    if (response.ranges && range.startsWith("bytes=") && range.endsWith('-')
        && (ifRange.isEmpty() || ifRange == validator)) {
        const qint64 from = range.mid(6).chopped(1).toLongLong();
        const qint64 total = response.body.size();
        contentRange = "bytes " + QByteArray::number(from + response.rangeStartShift) + '-'
            + QByteArray::number(total - 1) + '/' + QByteArray::number(total + response.rangeTotalShift);
        response.status = 206;
        response.reason = "Partial Content";
        response.body = response.body.mid(from);
        if (response.rangeLengthShift > 0)
            response.body += QByteArray(response.rangeLengthShift, 'x');
        else
            response.body.chop(-response.rangeLengthShift);
        if (!response.rangeETag.isEmpty()) {
            for (auto &[name, value] : response.headers) {
                if (name.compare("ETag", Qt::CaseInsensitive) == 0)
                    value = response.rangeETag;
            }
        }
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + response.reason
        + "\r\nConnection: close\r\n";
    if (response.contentLength)
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    if (!contentRange.isEmpty())
        head += "Content-Range: " + contentRange + "\r\n";
    if (response.chunked)
        head += "Transfer-Encoding: chunked\r\n";
    for (const auto &[name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    socket->write(head);

    QByteArray body = response.body;
    if (response.chunked) {
        body = response.body.isEmpty()
            ? QByteArray()
            : QByteArray::number(response.body.size(), 16) + "\r\n" + response.body + "\r\n";
        body += "0\r\n\r\n";
    }
    const auto send = [this, socket, &path](const QByteArray &bytes) {
        m_bodyBytes[path] += bytes.size();
        socket->write(bytes);
    };
    switch (response.mode) {
    case Response::Mode::Normal:
    case Response::Mode::Stall:
        send(body);
        socket->disconnectFromHost();
        break;
    case Response::Mode::Truncate:
        send(body.left(response.truncateAt));
        socket->disconnectFromHost();
        break;
    case Response::Mode::Drip:
        send(body.left(response.sentAtOnce));
        drip(socket, path, body.mid(response.sentAtOnce), response.dripChunk, response.dripIntervalMs);
        break;
    }
}

void TestHttpServer::drip(QTcpSocket *socket, const QByteArray &path, QByteArray rest, int chunk, int intervalMs)
{
    const qsizetype sent = m_dripsHeld ? 0 : qMin<qsizetype>(chunk, rest.size());
    socket->write(rest.left(sent));
    m_bodyBytes[path] += sent;
    rest.remove(0, sent);
    if (rest.isEmpty()) {
        socket->disconnectFromHost();
        return;
    }
    QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(intervalMs, this, [this, guarded, path, rest, chunk, intervalMs] {
        if (guarded)
            drip(guarded, path, rest, chunk, intervalMs);
    });
}
