#include "fetch.h"

#include <QDateTime>
#include <QIODevice>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>

#include <utility>

namespace Tarvino {

namespace {

QByteArray strongETag(const QNetworkReply *reply)
{
    const QByteArray etag = reply->rawHeader("ETag").trimmed();
    return etag.startsWith("W/") ? QByteArray() : etag;
}

// A strong ETag names exact bytes; a weak one ("W/...") does not, so it cannot
// keep a range whole. A modification time names them only when it lies a
// while before the answer: a file changed twice within one second keeps its
// date (the rule HTTP gives for a strong Last-Modified, with a margin).
QByteArray validatorOf(const QNetworkReply *reply)
{
    if (const QByteArray etag = strongETag(reply); !etag.isEmpty())
        return etag;
    const QByteArray modified = reply->rawHeader("Last-Modified").trimmed();
    const QDateTime modifiedAt = reply->header(QNetworkRequest::LastModifiedHeader).toDateTime();
    // Qt reads HTTP's date forms for the headers it knows; Date is read the same way.
    QNetworkRequest dated;
    dated.setRawHeader("Last-Modified", reply->rawHeader("Date"));
    const QDateTime answeredAt = dated.header(QNetworkRequest::LastModifiedHeader).toDateTime();
    if (!modifiedAt.isValid() || !answeredAt.isValid() || modifiedAt.secsTo(answeredAt) < 60)
        return {};
    return modified;
}

} // namespace

Fetch::Fetch(QNetworkAccessManager &manager, const QUrl &url, QIODevice *sink, std::function<bool()> restart,
             const Options &options, const ResumePoint &from)
    : m_manager(manager), m_url(url), m_sink(sink), m_restart(std::move(restart)), m_options(options), m_point(from)
{
    m_pause.setSingleShot(true);
    connect(&m_pause, &QTimer::timeout, this, &Fetch::request);
}

Fetch::~Fetch() = default;

void Fetch::start()
{
    m_smallTries = 0;
    request();
}

void Fetch::request()
{
    QNetworkRequest request = makeRequest(m_url, m_options.transferTimeout, m_options.caCertificates);
    // Without a validator the bytes that came cannot be told from another file's.
    m_askedForRest = m_point.have > 0 && !m_point.validator.isEmpty();
    if (m_point.have > 0 && !m_askedForRest) {
        if (!m_restart()) {
            end(false, tr("The file could not be begun again."));
            return Q_EMIT stopped();
        }
        m_point = {};
    }
    if (m_askedForRest) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_point.have) + '-');
        request.setRawHeader("If-Range", m_point.validator);
    }
    m_attemptStart = m_point.have;
    QNetworkReply *reply = m_manager.get(request);
    // Before the transfer's own look at the headers: a file begun again may be longer than the rest.
    connect(reply, &QNetworkReply::metaDataChanged, this, &Fetch::headersArrived);
    const qint64 limit = m_options.maxBytes < 0 ? -1 : m_options.maxBytes - m_point.have;
    m_transfer = std::make_unique<Transfer>(reply, m_sink, limit, m_options.minimumRate);
    connect(m_transfer.get(), &Transfer::progress, this, [this](qint64 received, qint64) {
        m_point.have = m_attemptStart + received;
        Q_EMIT progress(m_point.have, m_point.total);
    });
}

// Before a byte of the body is written: whether it continues the file, or begins it again.
void Fetch::headersArrived()
{
    QNetworkReply *reply = m_transfer->reply();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const qint64 length = m_transfer->announcedLength();
    const bool announced = length >= 0;
    if (m_askedForRest && status == 206) {
        static const QRegularExpression form(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+)$"));
        const QRegularExpressionMatch range = form.match(QString::fromLatin1(reply->rawHeader("Content-Range").trimmed()));
        const qint64 from = range.captured(1).toLongLong();
        const qint64 to = range.captured(2).toLongLong();
        const qint64 total = range.captured(3).toLongLong();
        if (!range.hasMatch() || from != m_point.have || total != m_point.total || to != total - 1) {
            return beginAgain(tr("The server sent a part of the file other than its rest (\"%1\" for bytes "
                                 "%2 to %3).")
                                         .arg(QString::fromLatin1(reply->rawHeader("Content-Range")))
                                         .arg(m_point.have)
                                         .arg(m_point.total - 1));
        }
        // Only the published bytes: the rest itself, plainly, of the same file.
        const qint64 rest = m_point.total - m_point.have;
        if (!announced || length != rest) {
            return beginAgain(tr("The server announced %1 bytes for the %2 bytes of the file's rest.")
                                         .arg(QString::fromLatin1(m_transfer->lengthHeader()))
                                         .arg(rest));
        }
        if (reply->header(QNetworkRequest::ContentTypeHeader).toString().startsWith(u"multipart/", Qt::CaseInsensitive))
            return beginAgain(tr("The server sent the file's rest in several parts."));
        const QByteArray etag = strongETag(reply);
        if (!etag.isEmpty() && etag != m_point.validator)
            return beginAgain(tr("The server sent the rest of another version of the file (%1, not %2).")
                                         .arg(QString::fromLatin1(etag), QString::fromLatin1(m_point.validator)));
        Q_EMIT answered(rest);
        return;
    }
    // An error page is no part of the file, whatever comes after it.
    if (status >= 400) {
        m_transfer->discardBody();
        return;
    }
    if (status == 200 || status == 206) {
        // The whole file, from its first byte: the server ignores ranges, or the file changed.
        if (m_askedForRest) {
            m_askedForRest = false;
            if (status != 200 || !m_restart())
                return m_transfer->abort(tr("The server answered %1 to a request for the rest of the file.").arg(status));
            m_attemptStart = 0;
            m_point.have = 0;
            m_transfer->setMaxBytes(m_options.maxBytes);
        }
        m_point.total = announced ? length : -1;
        m_point.validator = validatorOf(reply);
        Q_EMIT answered(m_point.total);
    }
}

// Not the rest of the bytes that came: they cannot be told to be the file's, and
// the file is begun again from its first byte (with whatever hashes its sink keeps).
void Fetch::beginAgain(const QString &why)
{
    m_beginAgain = why;
    m_transfer->abort(why);
}

Fetch::Handled Fetch::handle(QNetworkReply *reply)
{
    if (!m_transfer || reply != m_transfer->reply())
        return Handled::NotOurs;
    if (const QString why = std::exchange(m_beginAgain, {}); !why.isEmpty()) {
        if (m_begunAgain || m_cancelled || !m_restart()) {
            end(false, why);
            return Handled::Done;
        }
        m_begunAgain = true;
        m_askedForRest = false;
        m_point = {};
        Q_EMIT retrying(tr("%1 The file is begun again.").arg(why));
        m_transfer.reset();
        m_pause.start(0);
        return Handled::Retrying;
    }
    const Transfer::Expect expect = m_askedForRest ? Transfer::Expect::Rest : Transfer::Expect::CompleteFile;
    if (m_transfer->finish(expect)) {
        m_point.have = m_attemptStart + m_transfer->bytesReceived();
        // Whatever later answers said, the file is as long as first announced.
        if (m_point.total >= 0 && m_point.have != m_point.total) {
            end(false, tr("The file came to %1 bytes, not the %2 first announced.").arg(m_point.have).arg(m_point.total));
            return Handled::Done;
        }
        end(true, {});
        return Handled::Done;
    }
    const qint64 brought = m_transfer->bytesReceived();
    m_point.have = m_attemptStart + brought;
    const QString error = m_transfer->errorString();
    // Only a break after some bytes is tried again; a refusal stays a refusal.
    // While continuing, a server that is busy or away for a moment keeps what
    // came: only a proof that the file changed begins it again.
    const bool passing = m_transfer->brokeOff() || (m_askedForRest && m_transfer->transient());
    m_brokeOff = (passing || m_cancelled) && m_point.have > 0 && m_point.total > 0;
    // A try that brought a good part does not count: a link that drops often
    // still finishes. Tries that bring little do, and a trickle ends at once.
    const bool productive = brought >= ProductiveTry;
    m_smallTries = productive ? 0 : m_smallTries + 1;
    const bool givingUp = !productive && (m_smallTries > m_options.retries || m_transfer->tooSlow());
    if (!m_brokeOff || m_cancelled || givingUp) {
        end(false, error);
        return Handled::Done;
    }
    const auto pause = productive ? m_options.firstPause : m_options.firstPause * (1 << (m_smallTries - 1));
    const QLocale locale;
    QString why = error;
    if (why.endsWith(u'.'))
        why.chop(1);
    const QString count = productive ? QString() : tr(" (%1 of %2)").arg(m_smallTries).arg(m_options.retries);
    Q_EMIT retrying(tr("The download broke off (%1). Trying again in %2 s%3; %4 of %5 are here already.")
                        .arg(why)
                        .arg(pause.count() / 1000.0)
                        .arg(count)
                        .arg(locale.formattedDataSize(m_point.have), locale.formattedDataSize(m_point.total)));
    // The reply is still delivering its finished() signal: the transfer lets it go with deleteLater().
    m_transfer.reset();
    m_pause.start(pause);
    return Handled::Retrying;
}

void Fetch::abort(const QString &reason)
{
    if (m_transfer) {
        m_transfer->abort(reason);
        return;
    }
    end(false, reason);
    Q_EMIT stopped();
}

void Fetch::cancel(const QString &reason)
{
    m_cancelled = true;
    abort(reason);
}

void Fetch::end(bool succeeded, const QString &error)
{
    m_pause.stop();
    m_succeeded = succeeded;
    m_error = error;
    if (succeeded)
        m_brokeOff = false;
}

} // namespace Tarvino
