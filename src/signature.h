#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <memory>

// Detached Ed25519 signatures of builds (Ed25519ph, so that the bytes can be
// hashed as they stream in). A signature covers the build's file name and its
// bytes: an older signed build served under a newer name does not verify.
namespace Tarvino {

// False when the program was built without libsodium.
bool signaturesSupported();

// The publisher's public key built into this program; empty when none is.
QByteArray builtInPublicKey();

inline constexpr int PublicKeySize = 32;
inline constexpr int SecretKeySize = 64;
inline constexpr int SignatureSize = 64;

// The text form of keys and signatures: base64 on one line.
QByteArray fromBase64Line(const QByteArray &text, int expectedSize);

class SignatureStream
{
public:
    explicit SignatureStream(const QString &fileName);
    ~SignatureStream();
    SignatureStream(const SignatureStream &) = delete;
    SignatureStream &operator=(const SignatureStream &) = delete;

    void update(const char *data, qint64 size);
    bool verify(const QByteArray &publicKey, const QByteArray &signature);
    QByteArray sign(const QByteArray &secretKey);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Passes everything written to it on to another device and into a signature
// stream, so that a download is checked in the same pass that stores it. The
// hashing runs on a thread of its own, a bounded amount behind the writes, so
// that it overlaps with receiving and storing instead of adding to them.
class VerifyingWriter : public QIODevice
{
public:
    VerifyingWriter(QIODevice *target, const QString &fileName);
    ~VerifyingWriter() override;

    // Waits for the hashing to catch up, then checks the signature.
    bool verify(const QByteArray &publicKey, const QByteArray &signature);

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override;

private:
    struct Hasher;
    QIODevice *m_target;
    SignatureStream m_stream;
    std::unique_ptr<Hasher> m_hasher;
};

bool generateKeyPair(QByteArray *publicKey, QByteArray *secretKey);

} // namespace Tarvino
