#include "manifest.h"
#include "swap.h"
#include "testsupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

using namespace TestNames;
using Tarvino::Manifest;

namespace {

// The real window code, as a program of its own, on the test's folder and server.
void startDriver(QProcess &driver, const QString &mode, const TestHttpServer &server, const QString &appDir,
                 const QString &workDir, const QString &envName = {}, const QString &envValue = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    if (!envName.isEmpty())
        env.insert(envName, envValue);
    driver.setProcessEnvironment(env);
    driver.setWorkingDirectory(workDir);
    driver.start(QStringLiteral(TARVINO_WINDOW_DRIVER), {mode, server.baseUrl().toString(), appDir, Identity, "none"});
}

} // namespace

// The real program killed (as a power cut would stop it) at each file-system
// step of an update in turn, then started again; and two of them at once.
class CrashTest : public QObject
{
    Q_OBJECT

private slots:
    void killedAtEachStep_data();
    void killedAtEachStep();
    void newProgramOutlivesTheUpdater();
    void twoUpdatersOnOneFolder_data();
    void twoUpdatersOnOneFolder();
};

void CrashTest::killedAtEachStep_data()
{
    QTest::addColumn<bool>("backupTaken");
    QTest::addColumn<bool>("exfat");
    QTest::addColumn<bool>("release");
    for (const bool exfat : {false, true}) {
        const char *drive = exfat ? "exFAT: " : "";
        QTest::addRow("%sbackup name free", drive) << false << exfat << false;
        QTest::addRow("%sbackup name taken: the earlier backup stays", drive) << true << exfat << false;
        QTest::addRow("%sa whole release: the updater, the program and a library replaced, one added, one removed",
                      drive) << false << exfat << true;
    }
}

// A release whose updater is the real window code, over a folder that holds the release before it.
const ReleaseFiles &oldRelease()
{
    static const ReleaseFiles files{{Exe, OldBytes}, {"lib.dll", "lib 1"}, {"old-only.dll", "gone next"}};
    return files;
}

const ReleaseFiles &newRelease()
{
    static const ReleaseFiles files{{Exe, recorderProgram()},
                                    {"TarvinoUpdater", readFile(TARVINO_WINDOW_DRIVER)},
                                    {"lib.dll", "lib 2"},
                                    {"plugins/new.dll", "new"}};
    return files;
}

// Wholly the old release or wholly the new one, with the old one kept in one folder.
void checkReleaseAfterNextStart(const QString &appDir, bool expectNew, const QString &where)
{
    const QString dir = appDir + u'/';
    QStringList expected{Manifest::RecordName};
    const ReleaseFiles &files = expectNew ? newRelease() : oldRelease();
    for (const auto &[path, bytes] : files) {
        expected << path;
        QVERIFY2(readFile(dir + path) == bytes, qPrintable(where + ": " + path));
    }
    if (expectNew) {
        expected << "plugins/" << Identity + u'/' << Identity + u'/' + Manifest::RecordName;
        for (const auto &[path, bytes] : oldRelease()) {
            expected << Identity + u'/' + path;
            QVERIFY2(readFile(dir + Identity + u'/' + path) == bytes, qPrintable(where + ": kept " + path));
        }
    }
    expected.sort();
    QStringList tree = folderTree(appDir).filter(
        QRegularExpression("^(?!started\\.txt$|starts\\.txt$|TarvinoUpdater\\.log$|\\.Tarvíno\\.exe\\.hashes$)"));
    // What a killed run fetched stays for the release still on offer, and only for it.
    const QStringList staged = tree.filter(QRegularExpression("^\\.Tarvíno\\.exe\\.release-[^/]*/$"));
    for (const QString &folder : staged) {
        QVERIFY2(!expectNew && Tarvino::Swap::keptFor(dir + folder) == "Tarvino-6.10.1-20260101",
                 qPrintable(where + ": " + folder));
        tree.removeIf([&folder](const QString &path) { return path.startsWith(folder); });
    }
    QVERIFY2(tree == expected, qPrintable(where + "; left: " + tree.join(u", ")));
    QVERIFY2(readFile(dir + Manifest::RecordName)
                 == manifestText(expectNew ? "Tarvino-6.10.1-20260101" : Identity, files),
             qPrintable(where));
}

void CrashTest::killedAtEachStep()
{
    QFETCH(bool, backupTaken);
    QFETCH(bool, release);
    const QByteArray build = recorderProgram();
    const QByteArray earlierBackup = "an earlier backup";

    // One drive for the whole row: each kill point gets a folder of its own on it.
    QTemporaryDir drive;
    MOUNT_EXFAT_IF_ASKED(exfatMount, drive.path());
    int killPoint = 1;
    for (bool killed = true; killed; ++killPoint) {
        QTemporaryDir appDir(drive.filePath("app-XXXXXX"));
        QVERIFY(appDir.isValid());
        QTemporaryDir workDir;
        TestHttpServer server;
        QVERIFY(server.start());
        server.setResponse(ListingPath, TestHttpServer::ok(listingPage({Older, Newer})));
        server.setResponse(NewerPath, TestHttpServer::ok(build));
        const QString exePath = appDir.filePath(Exe);
        QVERIFY(writeFile(exePath, OldBytes));
        if (backupTaken)
            QVERIFY(writeFile(appDir.filePath(Identity), earlierBackup));
        if (release) {
            serveRelease(server, "Tarvino-6.10.1-20260101", newRelease());
            for (const auto &[path, bytes] : oldRelease())
                QVERIFY(writeFile(appDir.filePath(path), bytes));
            QVERIFY(writeFile(appDir.filePath(Manifest::RecordName), manifestText(Identity, oldRelease())));
        }

        QString shown;
        const auto runDriver = [&](const QString &mode, int killAt) {
            QProcess driver;
            startDriver(driver, mode, server, appDir.path(), workDir.path(), "TARVINO_KILL_AT_STEP",
                        killAt > 0 ? QString::number(killAt) : QString());
            // The server lives in this process: keep its events flowing while the driver runs.
            QTRY_VERIFY_WITH_TIMEOUT(driver.state() == QProcess::NotRunning, 60000);
            killed = driver.exitStatus() == QProcess::CrashExit;
            if (!killed)
                QVERIFY2(driver.exitCode() == 0, driver.readAllStandardError().constData());
            shown = QString::fromUtf8(driver.readAllStandardOutput());
        };

        runDriver("update", killPoint);
        if (QTest::currentTestFailed())
            return;
        const QString where = QStringLiteral("killed before step %1").arg(killPoint);
        // Never empty, never partly written; and a journal means the update never committed.
        const QByteArray afterKill = readFile(exePath);
        // (A release moves its files one by one: the program may be between its two names.)
        QVERIFY2(afterKill == OldBytes || afterKill == build || (release && afterKill == "<missing>"),
                 qPrintable(where));
        if (!killed)
            QCOMPARE(afterKill, build);
        const bool journalLeft = QFile::exists(appDir.filePath(Journal));
        const bool expectNew = afterKill == build && !journalLeft;

        const bool wasKilled = killed;
        runDriver("check", 0); // the next start
        if (QTest::currentTestFailed())
            return;
        killed = wasKilled;

        // The dead updater's lock was taken over: the next start recovered, and left no lock behind.
        if (release)
            checkReleaseAfterNextStart(appDir.path(), expectNew, where);
        else
            checkFolderAfterNextStart(appDir.path(), build, backupTaken ? earlierBackup : QByteArray(), expectNew,
                                      where);
        // The next start says what it undid, in the window and to support.
        const QString undone = "An interrupted update was undone: the previous version is in place again.";
        QVERIFY2(shown.contains(undone) == journalLeft, qPrintable(where + ": " + shown));
        QVERIFY2(!journalLeft || readFile(appDir.filePath(Log)).contains("Recovery: Found the journal"),
                 qPrintable(where));
        if (QTest::currentTestFailed())
            return;
        // A restarted program may still be writing beside itself.
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(appDir.filePath("started.txt.part")), 10000);
    }
    const int killPoints = killPoint - 2;
    qInfo("killed at %d steps in turn", killPoints);
    QVERIFY2(killPoints >= (release ? ReleaseSteps : UpdateSteps), qPrintable(QString::number(killPoints)));
}

void CrashTest::newProgramOutlivesTheUpdater()
{
    QTemporaryDir appDir;
    QTemporaryDir workDir;
    TestHttpServer server;
    QVERIFY(server.start());
    server.setResponse(ListingPath, TestHttpServer::ok(listingPage({Older, Newer})));
    server.setResponse(NewerPath, TestHttpServer::ok(recorderProgram() + QByteArray("\0stay", 5)));
    QVERIFY(writeFile(appDir.filePath(Exe), OldBytes));
    QProcess driver;
    startDriver(driver, "update", server, appDir.path(), workDir.path());
    QTRY_VERIFY_WITH_TIMEOUT(driver.state() == QProcess::NotRunning, 60000);
    QVERIFY2(driver.exitCode() == 0, driver.readAllStandardError().constData());
    QVERIFY(QFile::exists(appDir.filePath("started.txt")));
    // The updater has ended; the program it started still answers.
    QVERIFY(writeFile(appDir.filePath("stop"), {}));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(appDir.filePath("stopped.txt")), 10000);
}

void CrashTest::twoUpdatersOnOneFolder_data()
{
    QTest::addColumn<QString>("secondStarts");
    QTest::addColumn<int>("rounds");
    QTest::newRow("both start and press Ok at once") << "at once" << 10;
    QTest::newRow("the second starts during the first's download") << "download" << 1;
    QTest::newRow("the second starts between the first's backup and its swap") << "swap" << 1;
    QTest::newRow("the second starts once the first has ended, with the same old identity") << "after" << 1;
}

// Exactly one updater works on the folder; the other changes nothing there,
// says why, and offers nothing.
void CrashTest::twoUpdatersOnOneFolder()
{
    QFETCH(QString, secondStarts);
    QFETCH(int, rounds);
    const QByteArray build = recorderProgram();
    const QString busy = "Another update of this program is in progress.";
    for (int round = 1; round <= rounds; ++round) {
        QTemporaryDir appDir;
        QTemporaryDir workDir;
        TestHttpServer server;
        QVERIFY(server.start());
        server.setResponse(ListingPath, TestHttpServer::ok(listingPage({Older, Newer})));
        server.setResponse(NewerPath, TestHttpServer::dripped(build, 16 * 1024, 20));
        QVERIFY(writeFile(appDir.filePath(Exe), OldBytes));
        const QString where = QStringLiteral("round %1").arg(round);

        QProcess first;
        QProcess second;
        const QString paused = workDir.filePath("paused");
        if (secondStarts == u"at once") {
            startDriver(first, "update", server, appDir.path(), workDir.path());
            startDriver(second, "update", server, appDir.path(), workDir.path());
            QTRY_VERIFY_WITH_TIMEOUT(first.state() == QProcess::NotRunning, 60000);
            QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 60000);
            QVERIFY2((first.exitCode() == 0) != (second.exitCode() == 0), qPrintable(where));
            QProcess &loser = first.exitCode() == 0 ? second : first;
            QVERIFY2(loser.readAllStandardError().contains(busy.toUtf8()), qPrintable(where));
        } else if (secondStarts == u"after") {
            startDriver(first, "update", server, appDir.path(), workDir.path());
            QTRY_VERIFY_WITH_TIMEOUT(first.state() == QProcess::NotRunning, 60000);
            QVERIFY2(first.exitCode() == 0, first.readAllStandardError().constData());
            // Nothing is installed twice, and no backup bears a name that is not its version's.
            startDriver(second, "update", server, appDir.path(), workDir.path());
            QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 60000);
            QVERIFY(second.readAllStandardError().contains("Possible version: None"));
            QCOMPARE(server.requestCount(NewerPath), 1);
        } else {
            const bool atSwap = secondStarts == u"swap";
            startDriver(first, "update", server, appDir.path(), workDir.path(), "TARVINO_PAUSE_BEFORE_SWAP",
                        atSwap ? paused : QString());
            if (atSwap)
                QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(paused), 60000);
            else
                QTRY_VERIFY_WITH_TIMEOUT(server.requestCount(NewerPath) == 1, 60000);
            server.setDripsHeld(!atSwap);
            const QStringList during = folderFilesOfTheUpdate(appDir.path());
            startDriver(second, "check", server, appDir.path(), workDir.path());
            QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 60000);
            QCOMPARE(second.exitCode(), 0);
            QVERIFY(second.readAllStandardOutput().contains(busy.toUtf8()));
            QCOMPARE(folderFilesOfTheUpdate(appDir.path()), during);
            QCOMPARE(readFile(appDir.filePath(Exe)), OldBytes);
            QVERIFY(QFile::remove(paused) || !atSwap);
            server.setDripsHeld(false);
            QTRY_VERIFY_WITH_TIMEOUT(first.state() == QProcess::NotRunning, 60000);
            QVERIFY2(first.exitCode() == 0, first.readAllStandardError().constData());
        }
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(appDir.filePath("started.txt")), 10000);
        checkFolderAfterNextStart(appDir.path(), build, {}, true, where);
        // Both wrote to the support log, and neither broke into the other's lines.
        const QList<QByteArray> lines = readFile(appDir.filePath(Log)).split('\n');
        const QRegularExpression whole(R"(^\d{4}-\d\d-\d\dT[\d:.]+Z \[\d+\] \S)");
        for (const QByteArray &line : lines.mid(0, lines.size() - 1))
            QVERIFY2(whole.match(QString::fromUtf8(line)).hasMatch(), line.constData());
        QVERIFY(lines.size() > 10);
        if (QTest::currentTestFailed())
            return;
    }
}

QTEST_GUILESS_MAIN(CrashTest)
#include "tst_crash.moc"
