#include "signature.h"

#if TARVINO_HAVE_SODIUM
#  include <sodium.h>
#endif

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QTimeZone>
#include <QtEndian>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace Tarvino {

namespace {

// Starts both the signed message and the signature file of a listing.
constexpr char ListingSignatureTitle[] = "Tarvino listing signature 1";

// The length keeps a text and what follows it apart, so that no shift of the
// boundary between them gives the same message.
void appendWithLength(QByteArray &message, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    char length[4];
    qToBigEndian<quint32>(quint32(utf8.size()), length);
    message.append(length, 4);
    message.append(utf8);
}

QByteArray buildMessageHead(const QString &fileName)
{
    QByteArray head("Tarvino build signature 1");
    head.append('\0');
    appendWithLength(head, fileName);
    return head;
}

QByteArray listingMessageHead(const QString &folder, const QDateTime &published)
{
    QByteArray head(ListingSignatureTitle);
    head.append('\0');
    appendWithLength(head, folder);
    char seconds[8];
    qToBigEndian<qint64>(published.toSecsSinceEpoch(), seconds);
    head.append(seconds, 8);
    return head;
}

// "2026-01-15T09:30:00Z", the same on every Qt version.
QString utcText(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

QString translated(const char *text)
{
    return QCoreApplication::translate("Tarvino::ListingVerifier", text);
}

#if TARVINO_HAVE_SODIUM
bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}
#endif

} // namespace

bool signaturesSupported()
{
#if TARVINO_HAVE_SODIUM
    return sodiumReady();
#else
    return false;
#endif
}

QList<QByteArray> builtInPublicKeys()
{
#ifdef TARVINO_UPDATE_PUBLIC_KEY
    return publicKeysFromText(TARVINO_UPDATE_PUBLIC_KEY);
#else
    return {};
#endif
}

QList<QByteArray> publicKeysFromText(const QByteArray &text)
{
    QList<QByteArray> keys;
    for (const QByteArray &part : text.split(',')) {
        const QByteArray key = fromBase64Line(part, PublicKeySize);
        if (key.isEmpty())
            return {};
        keys.append(key);
    }
    return keys;
}

QByteArray fromBase64Line(const QByteArray &text, int expectedSize)
{
    const auto decoded = QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != expectedSize)
        return {};
    return decoded.decoded;
}

#if TARVINO_HAVE_SODIUM

struct SignatureStream::State
{
    crypto_sign_state sodium;
};

void SignatureStream::start(const QByteArray &head)
{
    m_head = head;
    m_state = std::make_unique<State>();
    sodiumReady();
    crypto_sign_init(&m_state->sodium);
    update(head.constData(), head.size());
}

void SignatureStream::update(const char *data, qint64 size)
{
    crypto_sign_update(&m_state->sodium, reinterpret_cast<const unsigned char *>(data),
                       static_cast<unsigned long long>(size));
}

bool SignatureStream::verify(const QList<QByteArray> &publicKeys, const QByteArray &signature) const
{
    if (signature.size() != SignatureSize)
        return false;
    for (const QByteArray &publicKey : publicKeys) {
        if (publicKey.size() != PublicKeySize)
            continue;
        // Verifying ends the hash; each key gets its own copy of it.
        crypto_sign_state state = m_state->sodium;
        if (crypto_sign_final_verify(&state, reinterpret_cast<const unsigned char *>(signature.constData()),
                                     reinterpret_cast<const unsigned char *>(publicKey.constData()))
            == 0) {
            return true;
        }
    }
    return false;
}

QByteArray SignatureStream::sign(const QByteArray &secretKey)
{
    if (secretKey.size() != SecretKeySize)
        return {};
    QByteArray signature(SignatureSize, Qt::Uninitialized);
    if (crypto_sign_final_create(&m_state->sodium, reinterpret_cast<unsigned char *>(signature.data()),
                                 nullptr, reinterpret_cast<const unsigned char *>(secretKey.constData()))
        != 0) {
        return {};
    }
    return signature;
}

bool generateKeyPair(QByteArray *publicKey, QByteArray *secretKey)
{
    if (!sodiumReady())
        return false;
    publicKey->resize(PublicKeySize);
    secretKey->resize(SecretKeySize);
    return crypto_sign_keypair(reinterpret_cast<unsigned char *>(publicKey->data()),
                               reinterpret_cast<unsigned char *>(secretKey->data()))
        == 0;
}

#else // without libsodium nothing verifies

struct SignatureStream::State
{
};

void SignatureStream::start(const QByteArray &head) { m_head = head; }
void SignatureStream::update(const char *, qint64) {}
bool SignatureStream::verify(const QList<QByteArray> &, const QByteArray &) const { return false; }
QByteArray SignatureStream::sign(const QByteArray &) { return {}; }
bool generateKeyPair(QByteArray *, QByteArray *) { return false; }

#endif

SignatureStream::SignatureStream(const QString &fileName)
{
    start(buildMessageHead(fileName));
}

SignatureStream::SignatureStream(const QString &folder, const QDateTime &published)
{
    start(listingMessageHead(folder, published));
}

SignatureStream::~SignatureStream() = default;

QByteArray ListingSignature::toText() const
{
    return QByteArray(ListingSignatureTitle) + "\nfolder: " + folder.toUtf8() + "\npublished: "
        + utcText(published).toLatin1() + "\nsignature: " + signature.toBase64() + '\n';
}

bool ListingSignature::fromText(const QByteArray &text)
{
    static const QRegularExpression form(
        QStringLiteral("\\A%1\\nfolder: ([^\\n]+)\\npublished: (\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ)\\n"
                       "signature: ([^\\n]*)\\n?\\z")
            .arg(QLatin1String(ListingSignatureTitle)));
    const QRegularExpressionMatch match = form.match(QString::fromUtf8(text));
    if (!match.hasMatch())
        return false;
    const QDateTime time = QDateTime::fromString(match.captured(2), Qt::ISODate);
    const QByteArray decoded = fromBase64Line(match.captured(3).toLatin1(), SignatureSize);
    if (!time.isValid() || decoded.isEmpty())
        return false;
    folder = match.captured(1);
    published = time.toUTC();
    signature = decoded;
    return true;
}

ListingVerifier::ListingVerifier(const QList<QByteArray> &publicKeys, const QString &folder, int maxAgeDays,
                                 const QString &subject)
    : m_publicKeys(publicKeys), m_folder(folder), m_maxAgeDays(maxAgeDays),
      m_subject(subject.isEmpty() ? translated("listing") : subject)
{
}

bool ListingVerifier::verify(const QByteArray &page, const QByteArray &signatureFile, const QDateTime &now)
{
    m_published = {};
    ListingSignature signature;
    if (!signature.fromText(signatureFile)) {
        m_error = translated("The %1's signature is malformed.").arg(m_subject);
        return false;
    }
    if (signature.folder != m_folder) {
        m_error = translated("The %1 is signed for %2, not for %3.").arg(m_subject, signature.folder, m_folder);
        return false;
    }
    SignatureStream stream(signature.folder, signature.published);
    stream.update(page.constData(), page.size());
    if (!stream.verify(m_publicKeys, signature.signature)) {
        m_error = translated("The %1 does not bear the publisher's signature: it was changed after signing, or "
                             "signed with another key.").arg(m_subject);
        return false;
    }
    // Only a signed time tells how old the listing is: a stale one may hide a fix.
    const qint64 age = signature.published.secsTo(now);
    if (m_maxAgeDays > 0 && age > qint64(m_maxAgeDays) * 86400) {
        m_error = translated("The %1 was published %2 days ago, on %3; this updater accepts none older "
                             "than %4 days.")
                      .arg(m_subject)
                      .arg(age / 86400)
                      .arg(utcText(signature.published))
                      .arg(m_maxAgeDays);
        return false;
    }
    m_published = signature.published;
    m_error.clear();
    return true;
}


struct VerifyingWriter::Hasher
{
    static constexpr qint64 MaxQueued = 8 * 1024 * 1024;

    explicit Hasher(std::function<void(const char *, qint64)> consume) : thread([this, consume] { run(consume); }) {}

    ~Hasher()
    {
        {
            std::lock_guard lock(mutex);
            closing = true;
        }
        changed.notify_all();
        thread.join();
    }

    void push(QByteArray chunk)
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return queuedBytes < MaxQueued; });
        queuedBytes += chunk.size();
        queue.push_back(std::move(chunk));
        changed.notify_all();
    }

    void drain()
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return queue.empty() && !busy; });
    }

    void run(const std::function<void(const char *, qint64)> &consume)
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return closing || !queue.empty(); });
            if (queue.empty())
                return;
            QByteArray chunk = std::move(queue.front());
            queue.pop_front();
            busy = true;
            lock.unlock();
            consume(chunk.constData(), chunk.size());
            lock.lock();
            busy = false;
            queuedBytes -= chunk.size();
            changed.notify_all();
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<QByteArray> queue;
    qint64 queuedBytes = 0;
    bool busy = false;
    bool closing = false;
    std::thread thread; // last: starts once the rest is ready
};

VerifyingWriter::VerifyingWriter(QIODevice *target, const QString &signedName)
    : m_target(target),
      m_stream(signedName.isEmpty() ? nullptr : std::make_unique<SignatureStream>(signedName)),
      m_sha256Hasher(std::make_unique<Hasher>([this](const char *data, qint64 size) { m_sha256.addData(data, size); })),
      m_signatureHasher(m_stream ? std::make_unique<Hasher>([this](const char *data, qint64 size) {
          m_stream->update(data, size);
      })
                                 : nullptr)
{
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

VerifyingWriter::~VerifyingWriter() = default;

qint64 VerifyingWriter::writeData(const char *data, qint64 size)
{
    const qint64 written = m_target->write(data, size);
    if (written != size) {
        setErrorString(m_target->errorString());
        return -1;
    }
    m_pending.append(data, size);
    if (m_pending.size() >= 1024 * 1024)
        handOver();
    return written;
}

// Both hashes at once, each on a thread of its own: the chunk itself is shared, not copied.
void VerifyingWriter::push(const QByteArray &chunk)
{
    m_sha256Hasher->push(chunk);
    if (m_signatureHasher)
        m_signatureHasher->push(chunk);
}

void VerifyingWriter::drain()
{
    m_sha256Hasher->drain();
    if (m_signatureHasher)
        m_signatureHasher->drain();
}

void VerifyingWriter::handOver()
{
    if (!m_pending.isEmpty())
        push(std::exchange(m_pending, {}));
}

bool VerifyingWriter::hashExisting(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    for (qint64 left = size; left > 0;) {
        QByteArray chunk = file.read(qMin<qint64>(left, 1024 * 1024));
        if (chunk.isEmpty())
            return false;
        left -= chunk.size();
        handOver();
        push(std::move(chunk));
    }
    return true;
}

bool VerifyingWriter::restart()
{
    m_pending.clear();
    drain();
    if (m_stream)
        m_stream->reset();
    m_sha256.reset();
    return true;
}

bool VerifyingWriter::verify(const QList<QByteArray> &publicKeys, const QByteArray &signature)
{
    handOver();
    drain();
    return m_stream && m_stream->verify(publicKeys, signature);
}

QByteArray VerifyingWriter::sha256()
{
    handOver();
    drain();
    return m_sha256.result();
}

} // namespace Tarvino
