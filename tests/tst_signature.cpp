#include "signature.h"
#include "windowtestsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Tarvino;

namespace {

using namespace TestNames;

const QByteArray SignaturePath = "/Windows/6.10.1/Signatures/" + Newer + ".sig";
const QByteArray OldBytes = "the old build\n";

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
    QTest::addColumn<QByteArray>("publicKey");    // built into the updater

    const KeyPair publisher = makeKeys();
    const KeyPair other = makeKeys();
    const QByteArray build = recorderProgram();
    QByteArray flipped = build;
    flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 0x01);
    const QString notSigned = "The build does not bear the publisher's signature.";

    QTest::newRow("good signature")
        << build << 200 << signatureLine(publisher.secretKey, Newer, build) << QString() << publisher.publicKey;
    QTest::newRow("one flipped byte")
        << flipped << 200 << signatureLine(publisher.secretKey, Newer, build) << notSigned << publisher.publicKey;
    QTest::newRow("signed with another key")
        << build << 200 << signatureLine(other.secretKey, Newer, build) << notSigned << publisher.publicKey;
    QTest::newRow("older signed build under the newer name")
        << build << 200 << signatureLine(publisher.secretKey, Older, build) << notSigned << publisher.publicKey;
    QTest::newRow("missing signature")
        << build << 404 << QByteArray()
        << "The build's signature could not be fetched: The server answered 404 Not Found." << publisher.publicKey;
    QTest::newRow("malformed signature")
        << build << 200 << QByteArray("c2lnbmF0dXJl but not base64\n")
        << "The build's signature is malformed." << publisher.publicKey;
    QTest::newRow("empty signature")
        << build << 200 << QByteArray()
        << "The build's signature could not be fetched: The server sent an empty file." << publisher.publicKey;
}

void SignatureTest::signedUpdates()
{
    QFETCH(QByteArray, served);
    QFETCH(int, signatureStatus);
    QFETCH(QByteArray, signature);
    QFETCH(QString, failure);
    QFETCH(QByteArray, publicKey);

    WindowFixture f;
    const QString appDir = f.appDir.path() + u'/';
    QVERIFY(f.install(OldBytes));
    f.serveListing({Older, Newer});
    f.server.setResponse(NewerPath, TestHttpServer::ok(served));
    if (signatureStatus == 200)
        f.server.setResponse(SignaturePath, TestHttpServer::ok(signature));

    Tarvino::UpdaterContext context = f.context();
    context.publicKey = publicKey;
    TarvinoUpdater window(context);
    window.show();
    button(window, QDialogButtonBox::Ok)->click();

    QCOMPARE(f.server.requestCount(SignaturePath), 1);
    if (failure.isEmpty()) {
        QVERIFY(!window.isVisible());
        QCOMPARE(readFile(appDir + Exe), served);
        QCOMPARE(readFile(appDir + Identity), OldBytes);
        return;
    }
    QVERIFY(window.isVisible());
    QVERIFY2(labelText(window).endsWith("The update failed: " + failure), qPrintable(labelText(window)));
    QCOMPARE(readFile(appDir + Exe), OldBytes);
    QCOMPARE(QDir(appDir).entryList(QDir::Files | QDir::Hidden), QStringList{Exe});
    QVERIFY(button(window, QDialogButtonBox::Ok)->isEnabled());
}

void SignatureTest::withoutKeyNoSignatureIsFetched()
{
    WindowFixture f;
    const QString appDir = f.appDir.path() + u'/';
    QVERIFY(f.install(OldBytes));
    f.serveListing({Older, Newer});
    f.server.setResponse(NewerPath, TestHttpServer::ok(recorderProgram()));
    TarvinoUpdater window(f.context());
    window.show();
    button(window, QDialogButtonBox::Ok)->click();

    QVERIFY(!window.isVisible());
    QCOMPARE(readFile(appDir + Exe), recorderProgram());
    QCOMPARE(f.server.requestedPaths(), QList<QByteArray>({WindowFixture::ListingPath, NewerPath}));
}

void SignatureTest::signingTool()
{
    QTemporaryDir dir;
    const QString tool = QStringLiteral(TARVINO_SIGN_TOOL);
    const auto run = [&](const QStringList &args, QByteArray *out = nullptr) {
        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.start(tool, args);
        process.waitForFinished();
        if (out)
            *out = process.readAllStandardOutput();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    };

    QByteArray publicKey;
    QCOMPARE(run({"keygen", "secret.key"}, &publicKey), 0);
    QCOMPARE(fromBase64Line(publicKey, PublicKeySize).size(), PublicKeySize);
    QCOMPARE(QFile::permissions(dir.filePath("secret.key")) & 0x0077, QFileDevice::Permissions());
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

    // What the tool writes is what the updater checks.
    SignatureStream stream(QString::fromLatin1(Newer));
    stream.update("the build's bytes", 17);
    QVERIFY(stream.verify(fromBase64Line(publicKey, PublicKeySize),
                          fromBase64Line(readFile(dir.filePath("build.sig")), SignatureSize)));
}

QTEST_MAIN(SignatureTest)
#include "tst_signature.moc"
