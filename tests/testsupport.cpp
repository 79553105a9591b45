#include "testsupport.h"

#include "identity.h"
#include "signature.h"
#include "unpack.h"
#include "updatercontext.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimeZone>

#include <zstd.h>

#ifdef Q_OS_LINUX
#  include <unistd.h>
#endif

QByteArray recorderProgram()
{
    return readFile(QStringLiteral(TARVINO_RECORDER));
}

QByteArray startRecord(const QString &dir)
{
    QByteArray record;
    (void)QTest::qWaitFor([&] { return (record = readFile(dir + QStringLiteral("/started.txt"))) != "<missing>"; }, 10000);
    return record;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList folderFiles(const QString &dir)
{
    QStringList names = QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
    names.sort();
    return names;
}

QStringList folderFilesOfTheUpdate(const QString &dir)
{
    return folderFiles(dir).filter(
        QRegularExpression("^(?!started\\.txt$|starts\\.txt$|stopped\\.txt$|TarvinoUpdater\\.log$|"
                           "\\.Tarvíno\\.exe\\.(installed|hashes)$)"));
}

int runProgram(const QString &program, const QStringList &arguments, QByteArray *output,
               const QString &workingDir)
{
    QProcess process;
    process.setWorkingDirectory(workingDir);
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitCode();
}

void checkFolderAfterNextStart(const QString &appDir, const QByteArray &build, const QByteArray &earlierBackup,
                               bool expectNew, const QString &where)
{
    using namespace TestNames;
    const QString dir = appDir + u'/';
    const bool backupTaken = !earlierBackup.isEmpty();
    QStringList expected{Exe};
    if (backupTaken)
        expected << Identity;
    if (expectNew)
        expected << (backupTaken ? SecondBackup : Identity);
    expected.sort();
    const QStringList files = folderFilesOfTheUpdate(appDir);
    QVERIFY2(files == expected, qPrintable(where + "; left: " + files.join(u", ")));
    QVERIFY2(readFile(dir + Exe) == (expectNew ? build : OldBytes), qPrintable(where));
    if (backupTaken)
        QVERIFY2(readFile(dir + Identity) == earlierBackup, qPrintable(where));
    if (expectNew)
        QVERIFY2(readFile(dir + (backupTaken ? SecondBackup : Identity)) == OldBytes, qPrintable(where));
}

void addBackupNameRows(bool drives)
{
    QTest::addColumn<bool>("backupTaken");
    if (drives)
        QTest::addColumn<bool>("exfat");
#ifdef Q_OS_LINUX
    const QList<bool> drivesTested = drives ? QList<bool>{false, true} : QList<bool>{false};
#else
    const QList<bool> drivesTested{false}; // Wine cannot mount: its test of exFAT runs natively
#endif
    for (const bool exfat : drivesTested) {
        const char *drive = exfat ? "exFAT: " : "";
        for (const bool taken : {false, true}) {
            QTestData &row = QTest::addRow("%sbackup name %s", drive,
                                           taken ? "taken: the earlier backup stays" : "free")
                << taken;
            if (drives)
                row << exfat;
        }
    }
}

bool runsAsRoot()
{
#ifdef Q_OS_LINUX
    return ::geteuid() == 0;
#else
    return false;
#endif
}

ExfatMount::ExfatMount(const QString &dir, qint64 mib) : m_dir(dir)
{
#ifdef Q_OS_LINUX
    const QString image = m_imageDir.filePath("exfat.img");
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(mib * 1024 * 1024)) {
        m_error = "cannot make " + image;
        return;
    }
    file.close();
    QByteArray device;
    if (!run("mkfs.exfat", {image}) || !run("losetup", {"--find", "--show", image}, &device))
        return;
    m_device = QString::fromLocal8Bit(device).trimmed();
    // Should this process be killed (a test's time limit), the drive still goes:
    // a watcher in a session of its own sees its pipe from here close.
    m_watcher.start("setsid", {"sh", "-c", "read _; umount -l \"$1\"; losetup -d \"$2\"", "sh", dir, m_device});
    if (!m_watcher.waitForStarted()) {
        m_error = "cannot start the drive's watcher: " + m_watcher.errorString();
        run("losetup", {"-d", m_device});
        m_device.clear();
        return;
    }
    m_mounted = run("mount.exfat-fuse", {m_device, dir});
#else
    Q_UNUSED(mib);
    m_error = "exFAT is mounted on Linux only";
#endif
}

ExfatMount::~ExfatMount()
{
    // Gone first, so that it never touches a loop device another test takes next.
    m_watcher.kill();
    m_watcher.waitForFinished();
    if (m_mounted)
        run("umount", {m_dir});
    if (!m_device.isEmpty())
        run("losetup", {"-d", m_device});
}

bool ExfatMount::run(const QString &program, const QStringList &arguments, QByteArray *output)
{
    const int status = runProgram(program, arguments, output);
    if (status != 0 && m_error.isEmpty())
        m_error = QStringLiteral("%1 %2 failed (%3)").arg(program, arguments.join(u' ')).arg(status);
    return status == 0;
}

QByteArray listingPage(const QList<QByteArray> &entries)
{
    QByteArray page = "<!DOCTYPE HTML>\n<html>\n<body>\n<ul>\n";
    for (const QByteArray &entry : entries)
        page += "<li><a href=\"" + entry + "\">" + entry + "</a></li>\n";
    page += "</ul>\n</body>\n</html>\n";
    return page;
}

QByteArray manifestText(const QString &release, const ReleaseFiles &files)
{
    QByteArray text = "Tarvino release manifest 1\nrelease: " + release.toUtf8() + '\n';
    for (const auto &[path, bytes] : files) {
        const bool program = path.endsWith(QLatin1String(".exe")) || path == u"TarvinoUpdater"
            || path == u"TarvinoUpdater.exe";
        text += QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex() + ' '
            + QByteArray::number(bytes.size()) + (program ? " x " : " - ") + path.toUtf8() + '\n';
    }
    return text;
}

QByteArray zstdPacked(const QByteArray &file, const QByteArray &base)
{
    ZSTD_CCtx *context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, Tarvino::Unpack::windowLogFor(base.size(), file.size()));
    if (!base.isEmpty())
        ZSTD_CCtx_refPrefix(context, base.constData(), size_t(base.size()));
    QByteArray packed(qsizetype(ZSTD_compressBound(size_t(file.size()))), Qt::Uninitialized);
    const size_t size = ZSTD_compress2(context, packed.data(), size_t(packed.size()), file.constData(), size_t(file.size()));
    ZSTD_freeCCtx(context);
    packed.resize(ZSTD_isError(size) ? 0 : qsizetype(size));
    return packed;
}

QByteArray serveForm(TestHttpServer &server, const QByteArray &folder, const QString &path, const QByteArray &file,
                     const QByteArray &base, const QByteArray &listed, const QByteArray &served)
{
    const QByteArray made = zstdPacked(file, base);
    const QByteArray named = listed.isEmpty() ? made : listed;
    const QByteArray sha = QCryptographicHash::hash(named, QCryptographicHash::Sha256).toHex();
    const QByteArray encoded = QUrl::toPercentEncoding(path, "/");
    if (base.isEmpty()) {
        server.setResponse(folder + "compressed/" + encoded + ".zst", TestHttpServer::ok(served.isEmpty() ? named : served));
        return "zst " + sha + ' ' + QByteArray::number(named.size()) + ' ' + path.toUtf8() + '\n';
    }
    const QByteArray baseSha = QCryptographicHash::hash(base, QCryptographicHash::Sha256).toHex();
    server.setResponse(folder + "patches/" + baseSha + '/' + encoded + ".zst",
                       TestHttpServer::ok(served.isEmpty() ? named : served));
    return "patch " + baseSha + ' ' + sha + ' ' + QByteArray::number(named.size()) + ' ' + path.toUtf8() + '\n';
}

void serveRelease(TestHttpServer &server, const QString &release, const ReleaseFiles &files,
                  const QByteArray &secretKey)
{
    const QByteArray folder = "/Windows/Releases/" + release.toUtf8() + '/';
    server.setResponse("/Windows/Releases/", TestHttpServer::ok(listingPage({release.toUtf8()})));
    const QByteArray manifest = manifestText(release, files);
    server.setResponse(folder + "manifest.txt", TestHttpServer::ok(manifest));
    if (!secretKey.isEmpty()) {
        server.setResponse("/Windows/Releases/Signatures/index.html.sig",
                           TestHttpServer::ok(listingSignatureFile(secretKey, listingPage({release.toUtf8()}),
                                                                   "Windows/Releases")));
        server.setResponse(folder + "manifest.txt.sig",
                           TestHttpServer::ok(listingSignatureFile(secretKey, manifest,
                                                                   "Windows/Releases/" + release)));
    }
    for (const auto &[path, bytes] : files)
        server.setResponse(folder + "files/" + QUrl::toPercentEncoding(path, "/"), TestHttpServer::ok(bytes));
}

QStringList folderTree(const QString &dir)
{
    QStringList paths;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        paths << QDir(dir).relativeFilePath(path) + (it.fileInfo().isDir() ? QStringLiteral("/") : QString());
    }
    paths.sort();
    return paths;
}

KeyPair KeyPair::make()
{
    KeyPair keys;
    if (!Tarvino::generateKeyPair(&keys.publicKey, &keys.secretKey))
        qWarning("no key pair: built without libsodium");
    return keys;
}

QByteArray listingSignatureFile(const QByteArray &secretKey, const QByteArray &page, const QString &folder,
                                const QDateTime &published)
{
    Tarvino::ListingSignature signature;
    signature.folder = folder;
    signature.published = QDateTime::fromSecsSinceEpoch(published.toSecsSinceEpoch(), QTimeZone::utc());
    Tarvino::SignatureStream stream(folder, signature.published);
    stream.update(page.constData(), page.size());
    signature.signature = stream.sign(secretKey);
    return signature.toText();
}

EngineFixture::EngineFixture()
{
    QVERIFY(appDir.isValid());
    QVERIFY(server.start());
    QVERIFY(writeFile(appPath(TestNames::Exe), TestNames::OldBytes));
}

Tarvino::UpdateTarget EngineFixture::target(int timeoutMs) const
{
    Tarvino::UpdateTarget target;
    const QString base = server.baseUrl().toString();
    target.buildUrl = QUrl(base + QString::fromLatin1(TestNames::NewerPath.mid(1)));
    target.signatureUrl = QUrl(base + QString::fromLatin1(TestNames::SignaturePath.mid(1)));
    target.signedName = QString::fromLatin1(TestNames::Newer);
    target.appDir = appDir.path() + u'/';
    target.executableName = TestNames::Exe;
    target.backupName = TestNames::Identity;
    target.newIdentity = Tarvino::identityOfEntry(target.signedName);
    target.transferTimeout = std::chrono::milliseconds(timeoutMs);
    // Tried again, but at once: the pauses themselves are not what these tests are about.
    target.retries = 2;
    target.firstRetryPause = std::chrono::milliseconds(10);
    return target;
}

Tarvino::ReleaseTarget EngineFixture::releaseTarget(const QString &release) const
{
    Tarvino::ReleaseTarget target;
    target.release = release;
    target.folderUrl = QUrl(server.baseUrl().toString() + "Windows/Releases/" + release + u'/');
    target.signedFolder = "Windows/Releases/" + release;
    target.appDir = appDir.path() + u'/';
    target.executableName = TestNames::Exe;
    target.updaterName = Tarvino::updaterProgramName();
    target.backupName = TestNames::Identity;
    target.reservedNames = {TestNames::Log, Tarvino::Manifest::RecordName};
    target.transferTimeout = std::chrono::milliseconds(5000);
    target.healthCheckTime = std::chrono::milliseconds(1000);
    target.retries = 2;
    target.firstRetryPause = std::chrono::milliseconds(10);
    return target;
}

bool EngineFixture::run(const Tarvino::UpdateTarget &target, QString *error)
{
    Tarvino::Update update(manager, target);
    return run(update, error);
}

bool EngineFixture::run(Tarvino::UpdateJob &job, QString *error)
{
    const auto connection = QObject::connect(&manager, &QNetworkAccessManager::finished, &job,
                                             &Tarvino::UpdateJob::downloadFinished);
    QSignalSpy finished(&job, &Tarvino::UpdateJob::finished);
    notices.clear();
    QObject::connect(&job, &Tarvino::UpdateJob::notice, &job, [this](const QString &text) { notices << text; });
    job.start();
    if (finished.isEmpty() && !finished.wait(60000))
        qWarning("the update did not end within a minute");
    QObject::disconnect(connection);
    if (error)
        *error = job.errorString();
    return !finished.isEmpty() && job.succeeded();
}
