#include "transfer.h"

#include <QBuffer>
#include <QIODevice>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>

#include <algorithm>

namespace Tarvino {

namespace {
constexpr qint64 ChunkSize = 256 * 1024;
}

QNetworkRequest makeRequest(const QUrl &url, std::chrono::milliseconds timeout,
                            const QList<QSslCertificate> &extraCaCertificates)
{
    QNetworkRequest request(url);
#if QT_CONFIG(ssl)
    if (!extraCaCertificates.isEmpty()) {
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.addCaCertificates(extraCaCertificates);
        request.setSslConfiguration(ssl);
    }
#else
    Q_UNUSED(extraCaCertificates);
#endif
    request.setTransferTimeout(int(timeout.count()));
    // Qt would ask for a compressed body and then drop its length, so that a
    // body cut short could not be told from a whole one.
    request.setRawHeader("Accept-Encoding", "identity");
    // Redirects are followed, but never from https to plain http.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    return request;
}

Transfer::Transfer(QNetworkReply *reply, QIODevice *sink, qint64 maxBytes, MinimumRate minimumRate)
    : m_reply(reply), m_sink(sink), m_maxBytes(maxBytes), m_minimumRate(minimumRate)
{
    // A server that trickles a byte now and then never trips Qt's silence
    // timeout; this ends it whether or not anyone is watching.
    m_rateCheck.setInterval(minimumRate.window);
    connect(&m_rateCheck, &QTimer::timeout, this, &Transfer::checkRate);
    connect(reply, &QNetworkReply::finished, &m_rateCheck, &QTimer::stop);
    m_rateCheck.start();
    // Without a bound the reply would buffer as fast as the network delivers,
    // however slowly the sink takes it.
    reply->setReadBufferSize(4 * ChunkSize);
    connect(reply, &QNetworkReply::readyRead, this, &Transfer::receive);
    connect(reply, &QNetworkReply::metaDataChanged, this, &Transfer::headersArrived);
    connect(reply, &QNetworkReply::redirected, this,
            [this] { m_redirectLengths = m_reply->rawHeader("Content-Length"); });
#if QT_CONFIG(ssl)
    // Kept for the message: the reply itself only says that the handshake failed.
    connect(reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError> &errors) {
        for (const QSslError &error : errors)
            m_sslErrors.append(error.errorString());
    });
#endif
}

void Transfer::receive()
{
    if (m_tooLarge || !m_writeError.isEmpty() || !m_abortReason.isEmpty())
        return;
    // A redirect's headers may still stand while the next answer's body comes
    // in: its length is not that body's. The bytes wait for their own headers
    // (the next readyRead, or finish()), and are judged by the length those
    // headers announced when they arrived.
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if ((status >= 300 && status < 400) || !m_headersSeen) {
        if (m_reply->isRunning())
            return;
        headersArrived();
    }
    if (m_discardBody) {
        m_reply->skip(m_reply->bytesAvailable());
        return;
    }
    // One buffer for the whole transfer: a fresh allocation per chunk costs page
    // faults on every read.
    if (m_buffer.isEmpty())
        m_buffer.resize(ChunkSize);
    const bool announced = m_announced >= 0;
    const qint64 length = m_announced;
    while (m_reply->bytesAvailable() > 0) {
        qint64 size = m_reply->read(m_buffer.data(), m_buffer.size());
        if (size <= 0)
            break;
        if (announced && m_received + size > length) {
            // Chunked framing can carry more than the length announced beside it.
            size = length - m_received;
            m_abortReason = tr("The server sent more than the %1 bytes it announced.").arg(length);
        } else if (m_maxBytes >= 0 && m_received + size > m_maxBytes) {
            size = m_maxBytes - m_received;
            m_tooLarge = true;
        }
        if (m_sink->write(m_buffer.constData(), size) != size) {
            m_writeError = m_sink->errorString();
            m_reply->abort();
            return;
        }
        m_received += size;
        if (m_tooLarge || !m_abortReason.isEmpty()) {
            m_reply->abort();
            return;
        }
    }
    Q_EMIT progress(m_received, m_announced > 0 ? m_announced : -1);
}

// An answer that announces more than it may bring is refused before its body:
// a server that trickles a huge page would otherwise hold the updater back.
void Transfer::headersArrived()
{
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300 && status < 400) {
        m_redirectLengths = m_reply->rawHeader("Content-Length");
        return;
    }
    const qint64 length = announcedLength();
    const bool announced = length >= 0;
    m_headersSeen = true;
    m_announced = length;
    if (m_maxBytes < 0 || m_tooLarge || !m_reply->isRunning())
        return;
    if (announced && length > m_maxBytes) {
        m_tooLarge = true;
        m_rateCheck.stop();
        m_reply->abort();
    }
}

void Transfer::abort(const QString &reason)
{
    m_abortReason = reason;
    m_rateCheck.stop();
    m_reply->abort();
}

void Transfer::checkRate()
{
    receive();
    const qint64 least = m_minimumRate.bytesPerSecond * m_minimumRate.window.count() / 1000;
    if (m_received - m_receivedBeforeWindow < least && m_reply->isRunning()) {
        m_tooSlow = true;
        m_rateCheck.stop();
        m_reply->abort();
        return;
    }
    m_receivedBeforeWindow = m_received;
}

Transfer::~Transfer() = default;

bool Transfer::finish(Expect expect)
{
    receive();
    m_error = failureReason(expect);
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    switch (m_reply->error()) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
        m_transient = true;
        break;
    default:
        m_transient = m_brokeOff || (status >= 500 && status <= 599);
        break;
    }
    m_transient = m_transient && !m_error.isEmpty() && m_abortReason.isEmpty() && m_writeError.isEmpty() && !m_tooLarge;
    return m_error.isEmpty();
}

QString Transfer::failureReason(Expect expect)
{
    m_brokeOff = false;
    if (!m_abortReason.isEmpty())
        return m_abortReason;
    if (!m_writeError.isEmpty())
        return tr("The file could not be written: %1").arg(m_writeError);
    if (m_tooLarge)
        return tr("The answer is larger than %1.").arg(QLocale().formattedDataSize(m_maxBytes, 0));
    if (m_tooSlow) {
        m_brokeOff = true;
        return tr("The transfer was slower than %1/s for %2 seconds, so it was given up.")
            .arg(QLocale().formattedDataSize(m_minimumRate.bytesPerSecond, 0))
            .arg(m_minimumRate.window.count() / 1000.0);
    }

    // Its 3xx status would only say that the server answered with a redirect.
    if (m_reply->error() == QNetworkReply::InsecureRedirectError) {
        return tr("The server sent the request on to a less safe address, which is not followed: %1")
            .arg(m_reply->url().resolved(QUrl::fromEncoded(m_reply->rawHeader("Location"))).toString());
    }
    const QVariant statusAttribute = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int status = statusAttribute.toInt();
    if (statusAttribute.isValid() && (status < 200 || status > 299)) {
        return tr("The server answered %1 %2.")
            .arg(status)
            .arg(m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    }

    switch (m_reply->error()) {
    case QNetworkReply::NoError:
        break;
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionClosedError:
        m_brokeOff = true;
        return m_reply->errorString();
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TimeoutError: {
        m_brokeOff = true;
        // We abort only for the reasons handled above, so this is the transfer timeout.
        const double seconds = m_reply->request().transferTimeout() / 1000.0;
        if (statusAttribute.isValid())
            return tr("The server stopped sending for %1 seconds.").arg(seconds);
        return tr("No complete answer came from the server within %1 seconds.").arg(seconds);
    }
    case QNetworkReply::SslHandshakeFailedError:
        return tr("The server's certificate is not trusted: %1")
            .arg(m_sslErrors.isEmpty() ? m_reply->errorString() : m_sslErrors.join(QStringLiteral("; ")));
    default:
        return m_reply->errorString();
    }

    if (expect == Expect::CompleteFile && status != 200)
        return tr("The server answered %1 instead of 200.").arg(status);
    if (expect == Expect::Rest && status != 206)
        return tr("The server answered %1 instead of 206.").arg(status);

    const QByteArray encoding = m_reply->rawHeader("Content-Encoding").trimmed();
    if (!encoding.isEmpty() && encoding.compare("identity", Qt::CaseInsensitive) != 0)
        return tr("The server sent the file encoded (%1) although it was asked not to.")
            .arg(QString::fromLatin1(encoding));

    const QString lengthProblem = checkLength(expect);
    if (!lengthProblem.isEmpty())
        return lengthProblem;

    if (expect != Expect::AnySuccess && m_received == 0)
        return tr("The server sent an empty file.");
    return {};
}

// Whether the body is provably whole: the server said how long it is and that
// many bytes came. Qt cannot tell whether chunked framing ended with its last
// chunk, so a chunked body without a length is taken only where nothing is
// installed from it.
QString Transfer::checkLength(Expect expect)
{
    const bool chunked =
        m_reply->rawHeader("Transfer-Encoding").toLower().contains("chunked");
    if (!m_reply->hasRawHeader("Content-Length")) {
        if (chunked && expect == Expect::AnySuccess)
            return {};
        return tr("The server did not say how long the file is, so a file cut short could not be told from a whole one.");
    }
    // Qt joins repeated headers with commas: two lengths are none.
    const qint64 length = announcedLength();
    if (length < 0)
        return tr("The server gave the file's length as \"%1\", which is not one length.")
            .arg(QString::fromLatin1(lengthHeader()));
    if (length != m_received) {
        m_brokeOff = m_received < length;
        return tr("The transfer ended after %1 of %2 bytes.").arg(m_received).arg(length);
    }
    return {};
}

QByteArray Transfer::lengthHeader() const
{
    const QByteArray joined = m_reply->rawHeader("Content-Length");
    if (!m_redirectLengths.isEmpty() && joined.startsWith(m_redirectLengths + ", "))
        return joined.mid(m_redirectLengths.size() + 2);
    return joined;
}

qint64 Transfer::announcedLength() const
{
    const QByteArray digits = lengthHeader().trimmed();
    if (digits.isEmpty() || !std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    bool ok = false;
    const qint64 length = digits.toLongLong(&ok, 10);
    return ok ? length : -1;
}

std::unique_ptr<Transfer> fetchIntoBuffer(QNetworkAccessManager &manager, const QNetworkRequest &request,
                                          QBuffer *body, qint64 maxBytes, MinimumRate minimumRate)
{
    body->close();
    body->setData({});
    body->open(QIODevice::WriteOnly);
    return std::make_unique<Transfer>(manager.get(request), body, maxBytes, minimumRate);
}

} // namespace Tarvino
