#include "testhttpserver.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

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
    const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    buffer.remove(0, end + 4);
    const QByteArray path = requestLine.value(1);
    m_requestedPaths.append(path);

    const Response response = m_responses.value(path, status(404, "Not Found", "no such file\n"));
    if (response.mode == Response::Mode::Stall)
        return;
    QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(response.delayMs, this, [this, guarded, path] {
        if (guarded)
            answer(guarded, path);
    });
}

void TestHttpServer::answer(QTcpSocket *socket, const QByteArray &path)
{
    const Response response = m_responses.value(path, status(404, "Not Found", "no such file\n"));
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + response.reason
        + "\r\nConnection: close\r\n";
    if (response.contentLength)
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
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
    switch (response.mode) {
    case Response::Mode::Normal:
    case Response::Mode::Stall:
        socket->write(body);
        socket->disconnectFromHost();
        break;
    case Response::Mode::Truncate:
        socket->write(body.left(response.truncateAt));
        socket->disconnectFromHost();
        break;
    case Response::Mode::Drip:
        socket->write(body.left(response.sentAtOnce));
        drip(socket, body.mid(response.sentAtOnce), response.dripChunk, response.dripIntervalMs);
        break;
    }
}

void TestHttpServer::drip(QTcpSocket *socket, QByteArray rest, int chunk, int intervalMs)
{
    const qsizetype sent = m_dripsHeld ? 0 : qMin<qsizetype>(chunk, rest.size());
    socket->write(rest.left(sent));
    rest.remove(0, sent);
    if (rest.isEmpty()) {
        socket->disconnectFromHost();
        return;
    }
    QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(intervalMs, this, [this, guarded, rest, chunk, intervalMs] {
        if (guarded)
            drip(guarded, rest, chunk, intervalMs);
    });
}
