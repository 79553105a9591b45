#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QIODevice;
class QNetworkReply;

namespace Tarvino {

// Streams the body of one reply into a device as it arrives, so that memory
// stays flat whatever the size, and judges the finished reply.
//
// The transfer is a child of the reply and goes with it.
class Transfer : public QObject
{
    Q_OBJECT

public:
    enum class Expect {
        AnySuccess,   // any 2xx answer, an empty body included
        CompleteFile, // 200 with a non-empty body
    };

    // maxBytes < 0: no limit. Past the limit the reply is aborted and the
    // transfer fails; what was received up to the limit stays in the sink.
    Transfer(QNetworkReply *reply, QIODevice *sink, qint64 maxBytes = -1);

    // Call once the reply has finished: writes what is left and returns why
    // the transfer failed, or an empty string when it succeeded.
    QString finish(Expect expect);

    qint64 bytesReceived() const { return m_received; }

Q_SIGNALS:
    void progress(qint64 received, qint64 total);

private:
    void receive();
    QString failureReason(Expect expect) const;

    QNetworkReply *m_reply;
    QIODevice *m_sink;
    qint64 m_maxBytes;
    qint64 m_received = 0;
    bool m_tooLarge = false;
    QString m_writeError;
    QByteArray m_buffer;
};

} // namespace Tarvino
