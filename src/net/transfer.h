#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>

class QBuffer;
class QIODevice;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QSslCertificate;
class QSslError;
class QUrl;

namespace Tarvino {

// A GET request with the updater's inactivity timeout. Certificates in
// extraCaCertificates are trusted besides the system's.
QNetworkRequest makeRequest(const QUrl &url, std::chrono::milliseconds timeout,
                            const QList<QSslCertificate> &extraCaCertificates = {});

// The slowest a transfer may be: fewer bytes than this in any whole window
// (counted from the request on, window by window) ends it.
struct MinimumRate
{
    qint64 bytesPerSecond = 1024;
    std::chrono::milliseconds window{60000};
};

// Releases a QObject the Qt way, for objects whose signals may still be on the stack.
struct DeleteLater
{
    void operator()(QObject *object) const
    {
        if (object)
            object->deleteLater();
    }
};

// Streams the body of one reply into a device as it arrives, so that memory
// stays flat whatever the size, and judges the finished reply.
//
// The transfer owns its reply from the request to the end: whoever owns the
// transfer owns the reply.
class Transfer : public QObject
{
    Q_OBJECT

public:
    enum class Expect {
        AnySuccess,   // any 2xx answer, an empty body included
        CompleteFile, // 200 with a non-empty body
        Rest,         // 206 with a non-empty body: the rest of a file asked for with a range
    };

    // maxBytes < 0: no limit. Past the limit the reply is aborted and the
    // transfer fails; what was received up to the limit stays in the sink.
    Transfer(QNetworkReply *reply, QIODevice *sink, qint64 maxBytes = -1, MinimumRate minimumRate = {});
    ~Transfer() override;

    QNetworkReply *reply() const { return m_reply.get(); }
    // Before the body: the limit for an answer that turned out to bring more (a file begun again).
    void setMaxBytes(qint64 maxBytes) { m_maxBytes = maxBytes; }
    // The answer's own Content-Length, as it stands now, without what redirects
    // before it said (Qt may join their headers with the answer's).
    QByteArray lengthHeader() const;
    // That length when it is one well-formed number; -1 when there is none or it is not.
    qint64 announcedLength() const;

    // Call once the reply has finished: writes what is left and judges the
    // answer. False when it is not what was expected; errorString() says why.
    bool finish(Expect expect);
    QString errorString() const { return m_error; }

    qint64 bytesReceived() const { return m_received; }
    // After a failed finish(): whether the transfer broke off (the connection
    // dropped, stalled or trickled, the body ended short), so that its rest may
    // be asked for, rather than being refused.
    bool brokeOff() const { return m_brokeOff; }
    // After a failed finish(): whether the failure may pass by itself (a 5xx
    // answer, a refused or reset connection, a name not found, a timeout), so
    // that what a file already has is worth keeping.
    bool transient() const { return m_transient; }
    // After a failed finish(): whether it was given up at the rate floor.
    bool tooSlow() const { return m_tooSlow; }

    // Ends the transfer at once, failing with this reason.
    void abort(const QString &reason);
    // The body of this answer is not the file's (an error page): it is read and dropped.
    void discardBody() { m_discardBody = true; }

Q_SIGNALS:
    void progress(qint64 received, qint64 total);

private:
    void receive();
    void headersArrived();
    void checkRate();
    QString failureReason(Expect expect);
    QString checkLength(Expect expect);

    std::unique_ptr<QNetworkReply, DeleteLater> m_reply;
    QIODevice *m_sink;
    qint64 m_maxBytes;
    qint64 m_received = 0;
    bool m_tooLarge = false;
    MinimumRate m_minimumRate;
    QTimer m_rateCheck;
    qint64 m_receivedBeforeWindow = 0;
    bool m_tooSlow = false;
    bool m_brokeOff = false;
    bool m_transient = false;
    bool m_discardBody = false;
    bool m_headersSeen = false; // the answer's own headers, not a redirect's
    QByteArray m_redirectLengths; // the Content-Length that redirects left, as Qt joined them
    qint64 m_announced = -1;    // the length they announced; -1: none
    QString m_abortReason;
    QString m_writeError;
    QStringList m_sslErrors;
    QString m_error;
    QByteArray m_buffer;
};

// Sends a GET for a small answer kept in memory (a listing, a signature): the
// body is emptied and opened for writing, and the answer streams into it.
std::unique_ptr<Transfer> fetchIntoBuffer(QNetworkAccessManager &manager, const QNetworkRequest &request,
                                          QBuffer *body, qint64 maxBytes, MinimumRate minimumRate);

} // namespace Tarvino
