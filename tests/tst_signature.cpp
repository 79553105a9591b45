#include "signature.h"
#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sodium.h>

using namespace Tarvino;

namespace {

using namespace TestNames;

struct KeyPair
{
    QByteArray publicKey;
    QByteArray secretKey;
};

KeyPair makeKeys()
{
    KeyPair keys;
    generateKeyPair(&keys.publicKey, &keys.secretKey);
    return keys;
}

const KeyPair &publisherKeys()
{
    static const KeyPair keys = makeKeys();
    return keys;
}

QByteArray signatureLine(const QByteArray &secretKey, const QString &name, const QByteArray &bytes)
{
    SignatureStream stream(name);
    stream.update(bytes.constData(), bytes.size());
    return stream.sign(secretKey).toBase64() + '\n';
}

} // namespace

class SignatureTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void streamCoversNameAndBytes();
    void signedUpdates_data();
    void signedUpdates();
    void withoutKeyNoSignatureIsFetched();
    void knownAnswer();
    void signingTool();
};

void SignatureTest::initTestCase()
{
    QVERIFY(signaturesSupported());
}

void SignatureTest::streamCoversNameAndBytes()
{
    const KeyPair keys = makeKeys();
    const auto signatureOf = [&](const QString &name, const QByteArray &bytes) {
        SignatureStream stream(name);
        stream.update(bytes.constData(), bytes.size());
        return stream.sign(keys.secretKey);
    };
    const QByteArray good = signatureOf("ab", "cd");

    SignatureStream inPieces("ab");
    inPieces.update("c", 1);
    inPieces.update("d", 1);
    QVERIFY(inPieces.verify(keys.publicKey, good));

    // Moving the boundary between name and bytes is a different message.
    SignatureStream shifted("a");
    shifted.update("bcd", 3);
    QVERIFY(!shifted.verify(keys.publicKey, good));

    QCOMPARE(fromBase64Line(good.toBase64() + "\n", SignatureSize), good);
    QVERIFY(fromBase64Line("not base64 at all!", SignatureSize).isEmpty());
    QVERIFY(fromBase64Line(good.left(63).toBase64(), SignatureSize).isEmpty());
}

void SignatureTest::signedUpdates_data()
{
    QTest::addColumn<QByteArray>("served");       // the build's bytes on the server
    QTest::addColumn<int>("signatureStatus");     // 0: no signature file
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QString>("failure");         // empty: the update succeeds

    const KeyPair &publisher = publisherKeys();
    const KeyPair other = makeKeys();
    const QByteArray build = recorderProgram();
    QByteArray flipped = build;
    flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 0x01);
    // Larger than the hashing thread's queue, so that its back-pressure is exercised.
    const QByteArray large = build + QByteArray(12 * 1024 * 1024, '\x5a');
    const QString notSigned = "The build does not bear the publisher's signature.";

    QTest::newRow("good signature")
        << build << 200 << signatureLine(publisher.secretKey, Newer, build) << QString();
    QTest::newRow("good signature, 12 MiB build")
        << large << 200 << signatureLine(publisher.secretKey, Newer, large) << QString();
    QTest::newRow("one flipped byte")
        << flipped << 200 << signatureLine(publisher.secretKey, Newer, build) << notSigned;
    QTest::newRow("signed with another key")
        << build << 200 << signatureLine(other.secretKey, Newer, build) << notSigned;
    QTest::newRow("older signed build under the newer name")
        << build << 200 << signatureLine(publisher.secretKey, Older, build) << notSigned;
    QTest::newRow("missing signature")
        << build << 404 << QByteArray()
        << "The build's signature could not be fetched: The server answered 404 Not Found.";
    QTest::newRow("malformed signature")
        << build << 200 << QByteArray("c2lnbmF0dXJl but not base64\n") << "The build's signature is malformed.";
    QTest::newRow("empty signature")
        << build << 200 << QByteArray()
        << "The build's signature could not be fetched: The server sent an empty file.";
}

void SignatureTest::signedUpdates()
{
    QFETCH(QByteArray, served);
    QFETCH(int, signatureStatus);
    QFETCH(QByteArray, signature);
    QFETCH(QString, failure);

    EngineFixture f;
    f.server.setResponse(NewerPath, TestHttpServer::ok(served));
    if (signatureStatus == 200)
        f.server.setResponse(SignaturePath, TestHttpServer::ok(signature));
    Tarvino::UpdateTarget target = f.target();
    target.publicKey = publisherKeys().publicKey;

    QString error;
    const bool updated = f.run(target, &error);
    QCOMPARE(f.server.requestCount(SignaturePath), 1);
    if (failure.isEmpty()) {
        QVERIFY2(updated, qPrintable(error));
        QCOMPARE(readFile(f.appPath(Exe)), served);
        QCOMPARE(readFile(f.appPath(Identity)), OldBytes);
        return;
    }
    QVERIFY(!updated);
    QCOMPARE(error, failure);
    QCOMPARE(readFile(f.appPath(Exe)), OldBytes);
    QCOMPARE(folderFiles(f.appDir.path()), QStringList{Exe});
}

void SignatureTest::withoutKeyNoSignatureIsFetched()
{
    EngineFixture f;
    f.server.setResponse(NewerPath, TestHttpServer::ok(recorderProgram()));
    QVERIFY(f.run(f.target()));
    QCOMPARE(readFile(f.appPath(Exe)), recorderProgram());
    QCOMPARE(f.server.requestedPaths(), QList<QByteArray>{NewerPath});
}

// The message as documented, signed by libsodium itself rather than by our own
// signer: a change to the format on both sides at once would not show otherwise.
void SignatureTest::knownAnswer()
{
    unsigned char seed[crypto_sign_SEEDBYTES];
    for (unsigned i = 0; i < sizeof seed; ++i)
        seed[i] = static_cast<unsigned char>(i);
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, Qt::Uninitialized);
    QByteArray secretKey(crypto_sign_SECRETKEYBYTES, Qt::Uninitialized);
    crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
                             reinterpret_cast<unsigned char *>(secretKey.data()), seed);

    const QString name = QStringLiteral("Tarvíno-6.10.1-20260101.exe");
    const QByteArray bytes = "the build's bytes";
    QByteArray message = QByteArray("Tarvino build signature 1") + '\0';
    message += QByteArray::fromHex("0000001c") + name.toUtf8() + bytes; // 28 bytes: "í" takes two
    QCOMPARE(name.toUtf8().size(), 0x1c);

    crypto_sign_state state;
    crypto_sign_init(&state);
    crypto_sign_update(&state, reinterpret_cast<const unsigned char *>(message.constData()),
                       static_cast<unsigned long long>(message.size()));
    QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_final_create(&state, reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                             reinterpret_cast<const unsigned char *>(secretKey.constData()));

    SignatureStream stream(name);
    stream.update(bytes.constData(), bytes.size());
    QVERIFY(stream.verify(publicKey, signature));
}

void SignatureTest::signingTool()
{
    QTemporaryDir dir;
    const QString tool = QStringLiteral(TARVINO_SIGN_TOOL);
    const auto run = [&](const QStringList &args, QByteArray *out = nullptr) {
        return runProgram(tool, args, out, dir.path());
    };

    QByteArray publicKey;
    QCOMPARE(run({"keygen", "secret.key"}, &publicKey), 0);
    QCOMPARE(fromBase64Line(publicKey, PublicKeySize).size(), PublicKeySize);
#ifndef Q_OS_WIN // there owner-only access is an ACL, which Wine does not keep
    QCOMPARE(QFile::permissions(dir.filePath("secret.key")) & 0x0077, QFileDevice::Permissions());
#endif
    QVERIFY(run({"keygen", "secret.key"}) != 0); // never over an existing key

    QFile build(dir.filePath("local.exe"));
    QVERIFY(build.open(QIODevice::WriteOnly));
    build.write("the build's bytes");
    build.close();

    QCOMPARE(run({"sign", "secret.key", "local.exe", "--name", QString::fromLatin1(Newer),
                  "--output", "build.sig"}), 0);
    QCOMPARE(run({"verify", QString::fromLatin1(publicKey.trimmed()), "local.exe", "build.sig",
                  "--name", QString::fromLatin1(Newer)}), 0);
    QVERIFY(run({"verify", QString::fromLatin1(publicKey.trimmed()), "local.exe", "build.sig"}) != 0);

    // One stray character makes a key or a signature malformed: never decoded leniently.
    const QByteArray key = publicKey.trimmed();
    const QByteArray signature = readFile(dir.filePath("build.sig")).trimmed();
    const QList<QByteArray> strays{" ", "!", ".", "-", "_", "\t", QByteArray(1, '\0'), "=", "\xc3\xad"};
    int rejected = 0;
    for (const QByteArray &stray : strays) {
        for (const qsizetype at : {qsizetype(1), key.size() / 2}) {
            const QByteArray badKey = QByteArray(key).insert(at, stray);
            const QByteArray badSignature = QByteArray(signature).insert(at, stray);
            QVERIFY2(fromBase64Line(badKey, PublicKeySize).isEmpty(), badKey.constData());
            QVERIFY2(fromBase64Line(badSignature, SignatureSize).isEmpty(), badSignature.constData());
            QVERIFY(writeFile(dir.filePath("bad.sig"), badSignature + '\n'));
            QVERIFY(run({"verify", QString::fromLatin1(key), "local.exe", "bad.sig", "--name",
                         QString::fromLatin1(Newer)}) != 0);
            if (stray != QByteArray(1, '\0')) // no NUL in a command-line argument
                QVERIFY(run({"verify", QString::fromUtf8(badKey), "local.exe", "build.sig", "--name",
                             QString::fromLatin1(Newer)}) != 0);
            ++rejected;
        }
    }
    QCOMPARE(rejected, 2 * strays.size());

    // What the tool writes is what the updater checks.
    SignatureStream stream(QString::fromLatin1(Newer));
    stream.update("the build's bytes", 17);
    QVERIFY(stream.verify(fromBase64Line(publicKey, PublicKeySize),
                          fromBase64Line(readFile(dir.filePath("build.sig")), SignatureSize)));
}

QTEST_GUILESS_MAIN(SignatureTest)
#include "tst_signature.moc"
