#pragma once

#include "sha256.h"

#include <QByteArray>
#include <QDateTime>
#include <QIODevice>
#include <QList>
#include <QString>

#include <memory>

// Detached Ed25519 signatures of builds and listings (Ed25519ph, so that the
// bytes can be hashed as they stream in). A build's signature covers its file
// name and its bytes: an older signed build served under a newer name does not
// verify. A listing's covers the folder it lists, the time it was published and
// the page: a page of another folder, or one edited after signing, does not.
namespace Tarvino {

// False when the program was built without libsodium.
bool signaturesSupported();

// The publisher's public keys built into this program, one or more while a key
// is being replaced; empty when none is. Whatever any of them signed is accepted.
QList<QByteArray> builtInPublicKeys();

// Keys in their text form, separated by commas; empty when any one is malformed.
QList<QByteArray> publicKeysFromText(const QByteArray &text);

inline constexpr int PublicKeySize = 32;
inline constexpr int SecretKeySize = 64;
inline constexpr int SignatureSize = 64;
// The most a signature file may hold; they take a few hundred bytes.
inline constexpr qint64 MaxSignatureFileSize = 4096;

// The text form of keys and signatures: base64 on one line.
QByteArray fromBase64Line(const QByteArray &text, int expectedSize);

class SignatureStream
{
public:
    // A build's message; update() then adds its bytes.
    explicit SignatureStream(const QString &fileName);
    // A listing's message: the folder it lists ("Windows/6.10.1") and when it
    // was published, in whole seconds; update() then adds the page.
    SignatureStream(const QString &folder, const QDateTime &published);
    ~SignatureStream();
    SignatureStream(const SignatureStream &) = delete;
    SignatureStream &operator=(const SignatureStream &) = delete;

    void update(const char *data, qint64 size);
    // Back to the message's head, for bytes begun anew.
    void reset() { start(m_head); }
    // True when any of the keys made the signature.
    bool verify(const QList<QByteArray> &publicKeys, const QByteArray &signature) const;
    QByteArray sign(const QByteArray &secretKey);

private:
    void start(const QByteArray &head);

    struct State;
    std::unique_ptr<State> m_state;
    QByteArray m_head;
};

// A listing page's signature file, "index.html.sig" in the Signatures folder
// beside the listed one. Four lines of UTF-8 text:
//   Tarvino listing signature 1
//   folder: Windows/6.10.1
//   published: 2026-01-15T09:30:00Z
//   signature: <base64 of the 64-byte signature>
struct ListingSignature
{
    QString folder;
    QDateTime published; // UTC, whole seconds
    QByteArray signature;

    QByteArray toText() const;
    // False when the text is not exactly of that form.
    bool fromText(const QByteArray &text);
};

// Judges a listing page by its signature file before anything in it is believed.
class ListingVerifier
{
public:
    // maxAgeDays > 0 also refuses a listing published longer ago than that.
    // The messages name what was signed: "listing", or a subject given.
    ListingVerifier(const QList<QByteArray> &publicKeys, const QString &folder, int maxAgeDays = 0,
                    const QString &subject = {});

    bool verify(const QByteArray &page, const QByteArray &signatureFile,
                const QDateTime &now = QDateTime::currentDateTimeUtc());
    QString errorString() const { return m_error; }
    // After a good verify(): when the publisher signed the page.
    QDateTime published() const { return m_published; }

private:
    QList<QByteArray> m_publicKeys;
    QString m_folder;
    int m_maxAgeDays;
    QString m_subject;
    QString m_error;
    QDateTime m_published;
};

// Passes everything written to it on to another device and into its SHA-256
// and, given the name the publisher signed, a signature stream, so that a
// download is checked in the same pass that stores it. The hashing runs on a
// thread of its own, a bounded amount behind the writes, so that it overlaps
// with receiving and storing instead of adding to them.
class VerifyingWriter : public QIODevice
{
public:
    // An empty signedName: the SHA-256 alone.
    VerifyingWriter(QIODevice *target, const QString &signedName);
    ~VerifyingWriter() override;

    // Waits for the hashing to catch up, then checks the signature.
    bool verify(const QList<QByteArray> &publicKeys, const QByteArray &signature);
    // Waits for the hashing to catch up: the SHA-256 of all that was written.
    QByteArray sha256();
    // Forgets what was written, for a download begun anew.
    bool restart();
    // Hashes the first size bytes of a file as if they had been written, for
    // a download continued where an earlier run left it.
    bool hashExisting(const QString &path, qint64 size);

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override;

private:
    void handOver();
    void push(const QByteArray &chunk);
    void drain();
    struct Hasher;
    QIODevice *m_target;
    std::unique_ptr<SignatureStream> m_stream;
    Sha256 m_sha256;
    QByteArray m_pending; // handed to the hashing thread a MiB at a time, not a network chunk at a time
    std::unique_ptr<Hasher> m_sha256Hasher;
    std::unique_ptr<Hasher> m_signatureHasher;
};

bool generateKeyPair(QByteArray *publicKey, QByteArray *secretKey);

} // namespace Tarvino
