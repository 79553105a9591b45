#pragma once

#include "transfer.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>

class QIODevice;
class QNetworkAccessManager;
class QNetworkReply;

namespace Tarvino {

// How far a file has come, and what the server said of it, so that the rest
// can be asked for: in this run after a break, or by a later run.
struct ResumePoint
{
    qint64 have = 0;      // bytes of the file in the sink
    qint64 total = -1;    // the whole file's length, as first announced
    QByteArray validator; // its strong ETag, else its Last-Modified; empty: the rest cannot be asked for
};

// One file fetched into a sink and continued where it breaks off. When the
// connection drops or stalls after some bytes arrived, or, while continuing,
// the server is busy or away for a moment, the rest is asked for ("Range:
// bytes=N-", with "If-Range" and the validator): after the first pause when a
// try brought a good part (such tries do not count), else after growing
// pauses, a few times in a row. Only a 206 whose Content-Range starts exactly
// at N and whose total is the length announced first continues the file; a 200 (the server
// ignores ranges, or the file changed) starts it again from byte 0, through
// the restart the owner gives; anything else fails as a first answer would.
//
// Its replies come through the manager given; whoever receives the manager's
// finished() hands them to handle().
class Fetch : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        std::chrono::milliseconds transferTimeout{30000};
        MinimumRate minimumRate;
        QList<QSslCertificate> caCertificates;
        int retries = 5;                       // after the first attempt
        std::chrono::milliseconds firstPause{1000}; // then doubled: 1, 2, 4, 8, 16 s
        qint64 maxBytes = -1;
    };

    // restart empties the sink (and whatever it feeds) for a file begun anew; false when it cannot.
    Fetch(QNetworkAccessManager &manager, const QUrl &url, QIODevice *sink, std::function<bool()> restart,
          const Options &options, const ResumePoint &from = {});
    ~Fetch() override;

    enum class Handled { NotOurs, Retrying, Done };
    // A try that brings this much does not count against the tries.
    static constexpr qint64 ProductiveTry = 256 * 1024;

    void start();
    // Done: the fetch has ended, well or not; Retrying: another attempt follows.
    Handled handle(QNetworkReply *reply);
    // Ends the fetch, failing with this reason: through handle() while a
    // request runs, else at once with stopped().
    void abort(const QString &reason);
    // The same, but what came is kept as worth continuing later: the user stopped it.
    void cancel(const QString &reason);

    bool succeeded() const { return m_succeeded; }
    QString errorString() const { return m_error; }
    ResumePoint point() const { return m_point; }
    QUrl url() const { return m_url; }
    // Whether a failure left bytes worth continuing later.
    bool brokeOff() const { return m_brokeOff; }

Q_SIGNALS:
    // Each answer's headers: the bytes still to come, for a check of the room.
    void answered(qint64 toCome);
    void progress(qint64 have, qint64 total);
    // Trying again: what is said to the user.
    void retrying(const QString &note);
    // Ended by abort() between two attempts.
    void stopped();

private:
    void request();
    void headersArrived();
    void beginAgain(const QString &why);
    void end(bool succeeded, const QString &error);

    QNetworkAccessManager &m_manager;
    const QUrl m_url;
    QIODevice *m_sink;
    std::function<bool()> m_restart;
    const Options m_options;
    ResumePoint m_point;
    qint64 m_attemptStart = 0; // m_point.have when this attempt began
    int m_smallTries = 0; // tries in a row that brought less than ProductiveTry
    bool m_askedForRest = false;
    // Why the answer to a request for the rest is not taken: the file is begun again, once.
    QString m_beginAgain;
    bool m_begunAgain = false;
    bool m_succeeded = false;
    bool m_brokeOff = false;
    bool m_cancelled = false;
    QString m_error;
    std::unique_ptr<Transfer> m_transfer;
    QTimer m_pause;
};

} // namespace Tarvino
