#include "signature.h"

#if TARVINO_HAVE_SODIUM
#  include <sodium.h>
#endif

#include <QtEndian>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace Tarvino {

namespace {

#if TARVINO_HAVE_SODIUM
// Keeps the name and the bytes apart, so that no shift of the boundary between
// them gives the same message.
QByteArray messagePrefix(const QString &fileName)
{
    const QByteArray name = fileName.toUtf8();
    QByteArray prefix("Tarvino build signature 1");
    prefix.append('\0');
    char length[4];
    qToBigEndian<quint32>(quint32(name.size()), length);
    prefix.append(length, 4);
    prefix.append(name);
    return prefix;
}

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

QByteArray builtInPublicKey()
{
#ifdef TARVINO_UPDATE_PUBLIC_KEY
    return fromBase64Line(TARVINO_UPDATE_PUBLIC_KEY, PublicKeySize);
#else
    return {};
#endif
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

SignatureStream::SignatureStream(const QString &fileName) : m_state(std::make_unique<State>())
{
    sodiumReady();
    crypto_sign_init(&m_state->sodium);
    const QByteArray prefix = messagePrefix(fileName);
    update(prefix.constData(), prefix.size());
}

SignatureStream::~SignatureStream() = default;

void SignatureStream::update(const char *data, qint64 size)
{
    crypto_sign_update(&m_state->sodium, reinterpret_cast<const unsigned char *>(data),
                       static_cast<unsigned long long>(size));
}

bool SignatureStream::verify(const QByteArray &publicKey, const QByteArray &signature)
{
    if (publicKey.size() != PublicKeySize || signature.size() != SignatureSize)
        return false;
    return crypto_sign_final_verify(&m_state->sodium,
                                    reinterpret_cast<const unsigned char *>(signature.constData()),
                                    reinterpret_cast<const unsigned char *>(publicKey.constData()))
        == 0;
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

SignatureStream::SignatureStream(const QString &) {}
SignatureStream::~SignatureStream() = default;
void SignatureStream::update(const char *, qint64) {}
bool SignatureStream::verify(const QByteArray &, const QByteArray &) { return false; }
QByteArray SignatureStream::sign(const QByteArray &) { return {}; }
bool generateKeyPair(QByteArray *, QByteArray *) { return false; }

#endif

struct VerifyingWriter::Hasher
{
    static constexpr qint64 MaxQueued = 8 * 1024 * 1024;

    explicit Hasher(SignatureStream &stream) : thread([this, &stream] { run(stream); }) {}

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

    void run(SignatureStream &stream)
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
            stream.update(chunk.constData(), chunk.size());
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

VerifyingWriter::VerifyingWriter(QIODevice *target, const QString &fileName)
    : m_target(target), m_stream(fileName), m_hasher(std::make_unique<Hasher>(m_stream))
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
    m_hasher->push(QByteArray(data, size));
    return written;
}

bool VerifyingWriter::verify(const QByteArray &publicKey, const QByteArray &signature)
{
    m_hasher->drain();
    return m_stream.verify(publicKey, signature);
}

} // namespace Tarvino
