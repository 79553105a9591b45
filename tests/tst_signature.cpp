#include "identity.h"
#include "listingcheck.h"
#include "signature.h"
#include "stagingfile.h"
#include "testsupport.h"
#include "updatercontext.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <sodium.h>

using namespace Tarvino;

namespace {

using namespace TestNames;

const KeyPair &publisherKeys()
{
    static const KeyPair keys = KeyPair::make();
    return keys;
}

// The key a publisher moves to; updaters carry both meanwhile.
const KeyPair &nextKeys()
{
    static const KeyPair keys = KeyPair::make();
    return keys;
}

QList<QByteArray> bothKeys()
{
    return {publisherKeys().publicKey, nextKeys().publicKey};
}

// The signed message, signed by libsodium itself rather than by our own signer.
QByteArray sodiumSignature(const QByteArray &secretKey, const QByteArray &message)
{
    crypto_sign_state state;
    crypto_sign_init(&state);
    crypto_sign_update(&state, reinterpret_cast<const unsigned char *>(message.constData()),
                       static_cast<unsigned long long>(message.size()));
    QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_final_create(&state, reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                             reinterpret_cast<const unsigned char *>(secretKey.constData()));
    return signature;
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
    void buildManifests_data();
    void buildManifests();
    void signedListings_data();
    void signedListings();
    void signedManifests_data();
    void signedManifests();
    void withoutKeyNoSignatureIsFetched();
    void knownAnswer();
    void signingTool();
    void sha256_data();
    void sha256();
};

void SignatureTest::initTestCase()
{
    QVERIFY(signaturesSupported());
    // The listing check keeps its page in the working directory.
    static QTemporaryDir workDir;
    QVERIFY(QDir::setCurrent(workDir.path()));
}

void SignatureTest::streamCoversNameAndBytes()
{
    const KeyPair keys = KeyPair::make();
    const auto signatureOf = [&](const QString &name, const QByteArray &bytes) {
        SignatureStream stream(name);
        stream.update(bytes.constData(), bytes.size());
        return stream.sign(keys.secretKey);
    };
    const QByteArray good = signatureOf("ab", "cd");

    SignatureStream inPieces("ab");
    inPieces.update("c", 1);
    inPieces.update("d", 1);
    QVERIFY(inPieces.verify({keys.publicKey}, good));
    QVERIFY(inPieces.verify({KeyPair::make().publicKey, keys.publicKey}, good)); // any of the keys

    // Moving the boundary between name and bytes is a different message.
    SignatureStream shifted("a");
    shifted.update("bcd", 3);
    QVERIFY(!shifted.verify({keys.publicKey}, good));

    // Keys as they are built in: one, or several separated by commas; one bad one spoils the list.
    const QByteArray key = keys.publicKey.toBase64();
    QCOMPARE(publicKeysFromText(key), QList<QByteArray>{keys.publicKey});
    QCOMPARE(publicKeysFromText(key + ',' + key).size(), 2);
    for (const QByteArray &bad : {key + ",", key + ",," + key, "," + key, key + ",x", QByteArray()})
        QVERIFY2(publicKeysFromText(bad).isEmpty(), bad.constData());

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
    QTest::addColumn<int>("cut");                 // cut at half: 1 continued with a range, 2 begun again

    const KeyPair &publisher = publisherKeys();
    const KeyPair other = KeyPair::make();
    const QByteArray build = recorderProgram();
    QByteArray flipped = build;
    flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 0x01);
    // Larger than the hashing thread's queue, so that its back-pressure is exercised.
    const QByteArray large = build + QByteArray(12 * 1024 * 1024, '\x5a');
    const QString notSigned = "The build does not bear the publisher's signature.";

    QTest::newRow("good signature")
        << build << 200 << signatureLine(publisher.secretKey, Newer, build) << QString() << 0;
    QTest::newRow("signed with the next key")
        << build << 200 << signatureLine(nextKeys().secretKey, Newer, build) << QString() << 0;
    QTest::newRow("good signature, 12 MiB build")
        << large << 200 << signatureLine(publisher.secretKey, Newer, large) << QString() << 0;
    QTest::newRow("one flipped byte")
        << flipped << 200 << signatureLine(publisher.secretKey, Newer, build) << notSigned << 0;
    QTest::newRow("signed with another key")
        << build << 200 << signatureLine(other.secretKey, Newer, build) << notSigned << 0;
    QTest::newRow("older signed build under the newer name")
        << build << 200 << signatureLine(publisher.secretKey, Older, build) << notSigned << 0;
    QTest::newRow("missing signature")
        << build << 404 << QByteArray()
        << "The build's signature could not be fetched: The server answered 404 Not Found." << 0;
    QTest::newRow("malformed signature")
        << build << 200 << QByteArray("c2lnbmF0dXJl but not base64\n") << "The build's signature is malformed." << 0;
    QTest::newRow("empty signature")
        << build << 200 << QByteArray()
        << "The build's signature could not be fetched: The server sent an empty file." << 0;
    // A download cut and continued is checked whole; one begun again is hashed from its first byte again.
    QTest::newRow("cut at half, continued") << build << 200 << signatureLine(publisher.secretKey, Newer, build)
                                            << QString() << 1;
    QTest::newRow("cut at half, begun again") << build << 200 << signatureLine(publisher.secretKey, Newer, build)
                                              << QString() << 2;
    QTest::newRow("continued from an earlier run's half") << build << 200
        << signatureLine(publisher.secretKey, Newer, build) << QString() << 3;
    QTest::newRow("an earlier run's half of another file: refused") << build << 200
        << signatureLine(publisher.secretKey, Newer, build) << notSigned << 4;
}

void SignatureTest::signedUpdates()
{
    QFETCH(QByteArray, served);
    QFETCH(int, signatureStatus);
    QFETCH(QByteArray, signature);
    QFETCH(QString, failure);
    QFETCH(int, cut);

    EngineFixture f;
    TestHttpServer::Response response = TestHttpServer::ok(served);
    if (cut > 0) {
        response.mode = cut <= 2 ? TestHttpServer::Response::Mode::Truncate : TestHttpServer::Response::Mode::Normal;
        response.truncateAt = served.size() / 2;
        response.cutRequests = 1;
        response.ranges = cut != 2;
        response.headers = {{"ETag", "\"v1\""}};
    }
    if (cut >= 3) {
        // What a killed run left: the first half (of another file, for the refusal), and its record.
        const Tarvino::UpdateTarget target = f.target();
        const qint64 half = served.size() / 2;
        const QString partial = f.appPath(Tarvino::StagingFile::prefix(Exe) + "0badf00d");
        QVERIFY(writeFile(partial, cut == 3 ? served.left(half) : QByteArray(half, 'x')));
        QVERIFY(writeFile(Tarvino::PartialRecord::pathFor(partial),
                          Tarvino::PartialRecord{target.signedName, target.buildUrl.toString(), "\"v1\"",
                                                 served.size(), half}.toText()));
    }
    f.server.setResponse(NewerPath, response);
    if (signatureStatus == 200)
        f.server.setResponse(SignaturePath, TestHttpServer::ok(signature));
    Tarvino::UpdateTarget target = f.target();
    target.publicKeys = bothKeys();

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

void SignatureTest::buildManifests_data()
{
    QTest::addColumn<bool>("keys");
    QTest::addColumn<QByteArray>("manifest");  // empty: none on the server
    QTest::addColumn<QByteArray>("signature"); // the manifest's; empty: none
    QTest::addColumn<QString>("failure");      // empty: installed

    const QByteArray build = recorderProgram();
    const QString identity = Tarvino::identityOfEntry(QString::fromLatin1(Newer));
    const QByteArray good = manifestText(identity, {{QString::fromLatin1(Newer), build}});
    const QByteArray otherBytes = manifestText(identity, {{QString::fromLatin1(Newer), build + "x"}});
    const QByteArray otherBuild = manifestText(identity, {{QString::fromLatin1(Older), build}});
    const QString folder = "Windows/6.10.1/Manifests/" + QString::fromLatin1(Newer);
    const QByteArray secret = publisherKeys().secretKey;
    const QString notThese = "The build is not the file its manifest names.";

    QTest::newRow("none on the server: installed as before") << false << QByteArray() << QByteArray() << QString();
    QTest::newRow("naming the build: installed") << false << good << QByteArray() << QString();
    QTest::newRow("naming other bytes: refused") << false << otherBytes << QByteArray() << notThese;
    QTest::newRow("naming another build: refused") << false << otherBuild << QByteArray()
                                                   << "The build's manifest does not name " + QString::fromLatin1(Newer) + '.';
    QTest::newRow("with a key, signed: installed")
        << true << good << listingSignatureFile(secret, good, folder) << QString();
    QTest::newRow("with a key, signed, naming other bytes: refused")
        << true << otherBytes << listingSignatureFile(secret, otherBytes, folder) << notThese;
    QTest::newRow("with a key, unsigned: refused")
        << true << good << QByteArray() << "The build's manifest is not signed: the server has no signature for it.";
    QTest::newRow("with a key, signed for another build: refused")
        << true << good << listingSignatureFile(secret, good, "Windows/6.10.1/Manifests/" + QString::fromLatin1(Older))
        << "…";
    QTest::newRow("with a key, none on the server: installed") << true << QByteArray() << QByteArray() << QString();
    // It names the build's SHA-256, which is all the build's own signature vouches for.
    QTest::newRow("with a key, signed, the build's own signature gone: installed")
        << true << good << listingSignatureFile(secret, good, folder) << QString();
    QTest::newRow("with a key, none on the server, the build's own signature gone: refused")
        << true << QByteArray() << QByteArray() << "The build's signature could not be fetched: The server answered 404 Not Found.";
    // Its list of smaller forms is taken only as signed for the build's folder and "/patches".
    for (const char *list : {"a compressed copy in a signed list: taken", "a compressed copy in an unsigned list: not taken",
                             "a compressed copy in a list signed for another folder: not taken"}) {
        QTest::newRow(qPrintable("with a key, signed, " + QString::fromLatin1(list)))
            << true << good << listingSignatureFile(secret, good, folder) << QString();
    }
}

// Where the server has the build's manifest, only the bytes it names are
// installed (and with a key, only from a manifest signed for this build).
void SignatureTest::buildManifests()
{
    QFETCH(bool, keys);
    QFETCH(QByteArray, manifest);
    QFETCH(QByteArray, signature);
    QFETCH(QString, failure);
    EngineFixture f;
    const QByteArray build = recorderProgram();
    f.server.setResponse(NewerPath, TestHttpServer::ok(build));
    if (!QByteArray(QTest::currentDataTag()).contains("own signature gone"))
        f.server.setResponse(SignaturePath, TestHttpServer::ok(signatureLine(publisherKeys().secretKey, Newer, build)));
    if (!manifest.isEmpty())
        f.server.setResponse(BuildManifestPath, TestHttpServer::ok(manifest));
    if (!signature.isEmpty())
        f.server.setResponse(BuildManifestPath + ".sig", TestHttpServer::ok(signature));
    Tarvino::UpdateTarget target = f.target();
    target.manifestUrl = QUrl(f.server.baseUrl().toString() + QString::fromLatin1(BuildManifestPath.mid(1)));
    target.manifestFolder = "Windows/6.10.1/Manifests/" + QString::fromLatin1(Newer);
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    const QByteArray listPath = "/Windows/6.10.1/Manifests/" + Newer + ".patches.txt";
    if (tag.contains(u"compressed copy")) {
        const QByteArray list = "Tarvino release patches 1\nrelease: " + Tarvino::identityOfEntry(Newer).toUtf8() + '\n'
            + serveForm(f.server, "/Windows/6.10.1/", QString::fromLatin1(Newer), build);
        f.server.setResponse(listPath, TestHttpServer::ok(list));
        const QString signedFor = target.manifestFolder + (tag.contains(u"another folder") ? "" : "/patches");
        if (!tag.contains(u"unsigned"))
            f.server.setResponse(listPath + ".sig", TestHttpServer::ok(listingSignatureFile(publisherKeys().secretKey, list,
                                                                                            signedFor)));
        target.patchListUrl = QUrl(f.server.baseUrl().toString() + QString::fromLatin1(listPath.mid(1)));
        target.packedFolderUrl = QUrl(f.server.baseUrl().toString() + "Windows/6.10.1/");
    }
    if (keys)
        target.publicKeys = bothKeys();
    QString error;
    QCOMPARE(f.run(target, &error), failure.isEmpty());
    if (tag.contains(u"compressed copy")) {
        const bool taken = tag.endsWith(u": taken");
        QCOMPARE(f.server.bodyBytesSent("/Windows/6.10.1/compressed/" + Newer + ".zst") > 0, taken);
        QCOMPARE(f.server.bodyBytesSent(NewerPath), taken ? 0 : build.size());
    }
    QCOMPARE(f.server.requestCount(BuildManifestPath), 1);
    QVERIFY2(failure == u"…" || error == failure, qPrintable(error));
    QCOMPARE(readFile(f.appPath(Exe)), failure.isEmpty() ? build : OldBytes);
    if (!failure.isEmpty())
        QCOMPARE(folderFiles(f.appDir.path()), QStringList{Exe});
}

void SignatureTest::signedListings_data()
{
    QTest::addColumn<QByteArray>("signatureFile"); // empty: none on the server
    QTest::addColumn<int>("maxAgeDays");
    QTest::addColumn<QString>("refusal");          // empty: the newer build is offered
    QTest::addColumn<bool>("releases");            // the releases page's signature, not the executables page's

    const QByteArray page = listingPage({Older, Newer});
    const QByteArray secret = publisherKeys().secretKey;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QByteArray good = listingSignatureFile(secret, page, ListingFolder, now);
    const QString notSigned = "The listing does not bear the publisher's signature: it was changed after signing, "
                              "or signed with another key.";

    QTest::newRow("signed") << good << 0 << QString() << false;
    QTest::newRow("signed with the next key") << listingSignatureFile(nextKeys().secretKey, page) << 0 << QString() << false;
    QTest::newRow("a year old, no limit") << listingSignatureFile(secret, page, ListingFolder, now.addDays(-365))
                                          << 0 << QString() << false;
    QTest::newRow("29 days old, limit 30") << listingSignatureFile(secret, page, ListingFolder, now.addDays(-29))
                                           << 30 << QString() << false;
    for (const auto &[age, days] : {std::pair{now.addDays(-40), 40}, std::pair{now.addDays(-30).addSecs(-3600), 30}}) {
        const QDateTime stale = QDateTime::fromSecsSinceEpoch(age.toSecsSinceEpoch(), QTimeZone::utc());
        QTest::addRow("%s old, limit 30", days == 40 ? "40 days" : "30 days and an hour")
            << listingSignatureFile(secret, page, ListingFolder, stale) << 30
            << QString("The listing was published %1 days ago, on %2; this updater accepts none older than 30 days.")
                   .arg(days)
                   .arg(stale.toString("yyyy-MM-dd'T'HH:mm:ss'Z'"))
            << false;
    }
    QTest::newRow("unsigned") << QByteArray() << 0
                              << "The listing is not signed: the server has no signature for it." << false;
    QTest::newRow("edited after signing")
        << listingSignatureFile(secret, listingPage({Older})) << 0 << notSigned << false;
    QTest::newRow("signed with another key") << listingSignatureFile(KeyPair::make().secretKey, page) << 0 << notSigned << false;
    QTest::newRow("signed for another folder")
        << listingSignatureFile(secret, page, "Windows/6.9.0") << 0
        << "The listing is signed for Windows/6.9.0, not for Windows/6.10.1." << false;
    QTest::newRow("another folder's signature, relabelled")
        << listingSignatureFile(secret, page, "Windows/6.9.0").replace("6.9.0", "6.10.1") << 0 << notSigned << false;
    QByteArray backdated = good;
    backdated.replace(now.date().toString(Qt::ISODate).toLatin1(), "2020-01-01");
    QTest::newRow("time of publishing changed") << backdated << 0 << notSigned << false;
    const QString malformed = "The listing's signature is malformed.";
    QTest::newRow("a bare signature line") << good.mid(good.indexOf("signature: ") + 11) << 0 << malformed << false;
    QTest::newRow("CRLF lines") << QByteArray(good).replace("\n", "\r\n") << 0 << malformed << false;
    QTest::newRow("time without zone") << QByteArray(good).replace("Z\n", "\n") << 0 << malformed << false;
    QTest::newRow("larger than a signature file") << good + QByteArray(4096, '\n') << 0
        << "The listing's signature could not be fetched: The answer is larger than 4 KiB." << false;
    // The releases page is judged the same way; refused, it offers no release, and the build is still offered.
    const QByteArray releases = listingPage({"Tarvino-6.11.0-20260101"});
    QTest::newRow("releases page signed") << listingSignatureFile(secret, releases, "Windows/Releases") << 0 << QString()
                                          << true;
    QTest::newRow("releases page unsigned") << QByteArray() << 0
                                            << "The listing is not signed: the server has no signature for it." << true;
    QTest::newRow("releases page edited after signing")
        << listingSignatureFile(secret, listingPage({"Tarvino-6.10.1-20250101"}), "Windows/Releases") << 0
        << notSigned << true;
    QTest::newRow("releases page signed for an executables folder")
        << listingSignatureFile(secret, releases, ListingFolder) << 0
        << "The listing is signed for Windows/6.10.1, not for Windows/Releases." << true;
}

// Straight through the listing check, without a window.
void SignatureTest::signedListings()
{
    QFETCH(QByteArray, signatureFile);
    QFETCH(int, maxAgeDays);
    QFETCH(QString, refusal);
    QFETCH(bool, releases);

    TestHttpServer server;
    QVERIFY(server.start());
    const QByteArray page = listingPage({Older, Newer});
    server.setResponse(ListingPath, TestHttpServer::ok(page));
    const QByteArray judged = releases ? "/Windows/Releases/Signatures/index.html.sig" : ListingSignaturePath;
    if (releases) {
        server.setResponse("/Windows/Releases/", TestHttpServer::ok(listingPage({"Tarvino-6.11.0-20260101"})));
        server.setResponse(ListingSignaturePath,
                           TestHttpServer::ok(listingSignatureFile(publisherKeys().secretKey, page)));
    }
    if (!signatureFile.isEmpty())
        server.setResponse(judged, TestHttpServer::ok(signatureFile));
    UpdaterContext context;
    context.downloadBaseUrl = server.baseUrl();
    context.transferTimeout = std::chrono::milliseconds(5000);
    context.publicKeys = bothKeys();
    context.listingMaxAgeDays = maxAgeDays;
    QNetworkAccessManager manager;
    ListingCheck check(manager, context, "Windows", Identity);
    connect(&manager, &QNetworkAccessManager::finished, &check, &ListingCheck::downloadFinished);
    QSignalSpy finished(&check, &ListingCheck::finished);
    check.start();
    QVERIFY(finished.wait(10000));

    QCOMPARE(server.requestCount(judged), 1);
    if (releases) {
        QCOMPARE(check.offer().entry, refusal.isEmpty() ? "Tarvino-6.11.0-20260101" : QString::fromLatin1(Newer));
        QCOMPARE(check.offer().release, refusal.isEmpty());
        QCOMPARE(check.offer().reason,
                 refusal.isEmpty() ? QString() : "The releases were not checked: " + refusal + " Nothing is offered.");
        return;
    }
    QCOMPARE(check.offer().entry, refusal.isEmpty() ? QString::fromLatin1(Newer) : QString());
    QCOMPARE(check.offer().reason, refusal.isEmpty() ? QString() : refusal + " Nothing is offered.");
}

void SignatureTest::signedManifests_data()
{
    QTest::addColumn<QString>("signature"); // how the manifest's signature file is made
    QTest::addColumn<QString>("refusal");   // empty: the release is installed
    QTest::newRow("signed") << "good" << QString();
    QTest::newRow("unsigned") << "none" << "The release's manifest is not signed: the server has no signature for it.";
    QTest::newRow("signed for another release") << "another release"
        << "The release's manifest is signed for Windows/Releases/Tarvino-6.11.0-20251231, not for "
           "Windows/Releases/Tarvino-6.11.0-20260101.";
    QTest::newRow("edited after signing") << "edited"
        << "The release's manifest does not bear the publisher's signature: it was changed after signing, or signed "
           "with another key.";
}

// A release is installed only as its manifest is signed, for its own folder.
void SignatureTest::signedManifests()
{
    QFETCH(QString, signature);
    QFETCH(QString, refusal);
    EngineFixture f;
    const QString release = "Tarvino-6.11.0-20260101";
    const ReleaseFiles files{{Exe, recorderProgram()},
                             {Tarvino::updaterProgramName(), recorderProgram() + QByteArray("\0exit 0", 7)}};
    serveRelease(f.server, release, files, publisherKeys().secretKey);
    const QByteArray sigPath = "/Windows/Releases/" + release.toUtf8() + "/manifest.txt.sig";
    const QByteArray manifest = manifestText(release, files);
    if (signature == u"none")
        f.server.setResponse(sigPath, TestHttpServer::status(404, "Not Found"));
    else if (signature == u"another release")
        f.server.setResponse(sigPath, TestHttpServer::ok(listingSignatureFile(
                                          publisherKeys().secretKey, manifest, "Windows/Releases/Tarvino-6.11.0-20251231")));
    else if (signature == u"edited")
        f.server.setResponse(sigPath, TestHttpServer::ok(listingSignatureFile(
                                          publisherKeys().secretKey, manifest + "\n", "Windows/Releases/" + release)));
    Tarvino::ReleaseTarget target = f.releaseTarget(release);
    target.publicKeys = bothKeys();
    Tarvino::ReleaseUpdate update(f.manager, target);
    QString error;
    QCOMPARE(f.run(update, &error), refusal.isEmpty());
    QCOMPARE(error, refusal);
    QCOMPARE(readFile(f.appPath(Exe)), refusal.isEmpty() ? recorderProgram() : OldBytes);
}

void SignatureTest::withoutKeyNoSignatureIsFetched()
{
    EngineFixture f;
    f.server.setResponse(NewerPath, TestHttpServer::ok(recorderProgram()));
    QVERIFY(f.run(f.target()));
    QCOMPARE(readFile(f.appPath(Exe)), recorderProgram());
    QCOMPARE(f.server.requestedPaths(), QList<QByteArray>{NewerPath});
}

// The messages as documented, signed by libsodium itself rather than by our own
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

    SignatureStream stream(name);
    stream.update(bytes.constData(), bytes.size());
    QVERIFY(stream.verify({publicKey}, sodiumSignature(secretKey, message)));

    // A listing: the folder with its length, the time of publishing as 8 bytes
    // of seconds since 1970 (2026-01-15T09:30:00Z), then the page.
    const QByteArray page = listingPage({Newer});
    QByteArray listingMessage = QByteArray("Tarvino listing signature 1") + '\0';
    listingMessage += QByteArray::fromHex("0000000e") + "Windows/6.10.1" + QByteArray::fromHex("000000006968b398") + page;
    const QByteArray file = "Tarvino listing signature 1\nfolder: Windows/6.10.1\npublished: 2026-01-15T09:30:00Z\n"
                            "signature: " + sodiumSignature(secretKey, listingMessage).toBase64() + '\n';
    ListingVerifier verifier({publicKey}, ListingFolder);
    QVERIFY2(verifier.verify(page, file), qPrintable(verifier.errorString()));
    QCOMPARE(verifier.published(), QDateTime(QDate(2026, 1, 15), QTime(9, 30), QTimeZone::utc()));
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
    QVERIFY(stream.verify({fromBase64Line(publicKey, PublicKeySize)},
                          fromBase64Line(readFile(dir.filePath("build.sig")), SignatureSize)));

    // Listings, and a key list as an updater carries while a key is replaced.
    QByteArray nextKey;
    QCOMPARE(run({"keygen", "next.key"}, &nextKey), 0);
    const QString keys = QString::fromLatin1(key + ',' + nextKey.trimmed());
    QVERIFY(writeFile(dir.filePath("index.html"), listingPage({Newer})));
    QCOMPARE(run({"sign-listing", "next.key", "index.html", "--folder", ListingFolder, "--published",
                  "2026-01-15T09:30:00Z", "--output", "index.html.sig"}), 0);
    QByteArray said;
    QCOMPARE(run({"verify-listing", keys, "index.html", "index.html.sig", "--folder", ListingFolder}, &said), 0);
    QVERIFY2(said.contains("published 2026-01-15T09:30:00Z"), said.constData());
    QVERIFY(run({"verify-listing", QString::fromLatin1(key), "index.html", "index.html.sig", "--folder",
                 ListingFolder}) != 0);
    QVERIFY(run({"verify-listing", keys, "index.html", "index.html.sig", "--folder", "Windows/6.9.0"}) != 0);
    QVERIFY(run({"sign-listing", "next.key", "index.html", "--folder", ListingFolder, "--published", "soon"}) != 0);
    QCOMPARE(run({"sign", "next.key", "local.exe", "--name", QString::fromLatin1(Newer), "--output", "next.sig"}), 0);
    QCOMPARE(run({"verify", keys, "local.exe", "next.sig", "--name", QString::fromLatin1(Newer)}), 0);

    ListingVerifier verifier(publicKeysFromText(keys.toLatin1()), ListingFolder);
    QVERIFY2(verifier.verify(listingPage({Newer}), readFile(dir.filePath("index.html.sig"))),
             qPrintable(verifier.errorString()));
}

QTEST_GUILESS_MAIN(SignatureTest)
void SignatureTest::sha256_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("piece"); // bytes added at a time
    // Around the block (64) and the padding's room (56), and long runs of whole blocks.
    for (const int size : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 1000003}) {
        for (const int piece : {1, 63, 64, 100, 1 << 20}) {
            if (piece <= qMax(size, 1) || piece == 1 << 20)
                QTest::addRow("%d bytes, %d at a time", size, piece) << size << piece;
        }
    }
}

// The processor's SHA instructions and the portable code, each as Qt hashes.
void SignatureTest::sha256()
{
    QFETCH(int, size);
    QFETCH(int, piece);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 131 + (i >> 9));
    const QByteArray expected = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
#if defined(Q_OS_LINUX) && (defined(Q_PROCESSOR_X86_64) || defined(Q_PROCESSOR_X86_32))
    // Where the processor has them, they are used.
    QCOMPARE(Sha256::hardwareUsed(), readFile("/proc/cpuinfo").contains(" sha_ni"));
#endif
    auto allowAgain = qScopeGuard([] { Sha256::setHardwareAllowed(true); });
    for (const bool hardware : {true, false}) {
        Sha256::setHardwareAllowed(hardware);
        Sha256 hash;
        for (int at = 0; at < size; at += piece)
            hash.addData(bytes.constData() + at, qMin(piece, size - at));
        QCOMPARE(hash.result().toHex(), expected);
        // A result leaves the hash as it was: the bytes that follow continue it.
        hash.addData("x", 1);
        QCOMPARE(hash.result().toHex(), QCryptographicHash::hash(bytes + 'x', QCryptographicHash::Sha256).toHex());
    }
}

#include "tst_signature.moc"
