#include "testsupport.h"

#include <QProcess>
#include <QTest>

using namespace TestNames;

// The real program killed (as a power cut would stop it) at each file-system
// step of an update in turn, then started again.
class CrashTest : public QObject
{
    Q_OBJECT

private slots:
    void killedAtEachStep_data();
    void killedAtEachStep();
};

void CrashTest::killedAtEachStep_data()
{
    addBackupNameRows(true);
}

void CrashTest::killedAtEachStep()
{
    QFETCH(bool, backupTaken);
    const QByteArray build = recorderProgram();
    const QByteArray earlierBackup = "an earlier backup";

    int killPoint = 1;
    for (bool killed = true; killed; ++killPoint) {
        QTemporaryDir appDir;
        MOUNT_EXFAT_IF_ASKED(exfatMount, appDir.path());
        QTemporaryDir workDir;
        TestHttpServer server;
        QVERIFY(server.start());
        server.setResponse(ListingPath, TestHttpServer::ok(listingPage({Older, Newer})));
        server.setResponse(NewerPath, TestHttpServer::ok(build));
        const QString exePath = appDir.filePath(Exe);
        QVERIFY(writeFile(exePath, OldBytes));
        if (backupTaken)
            QVERIFY(writeFile(appDir.filePath(Identity), earlierBackup));

        const auto runDriver = [&](const QString &mode, int killAt) {
            QProcess driver;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("QT_QPA_PLATFORM", "offscreen");
            if (killAt > 0)
                env.insert("TARVINO_KILL_AT_STEP", QString::number(killAt));
            driver.setProcessEnvironment(env);
            driver.setWorkingDirectory(workDir.path());
            driver.start(QStringLiteral(TARVINO_WINDOW_DRIVER),
                         {mode, server.baseUrl().toString(), appDir.path(), Identity, "none"});
            // The server lives in this process: keep its events flowing while the driver runs.
            QTRY_VERIFY_WITH_TIMEOUT(driver.state() == QProcess::NotRunning, 60000);
            killed = driver.exitStatus() == QProcess::CrashExit;
            if (!killed)
                QVERIFY2(driver.exitCode() == 0, driver.readAllStandardError().constData());
        };

        runDriver("update", killPoint);
        if (QTest::currentTestFailed())
            return;
        const QString where = QStringLiteral("killed before step %1").arg(killPoint);
        // Never empty, never partly written; and a journal means the update never committed.
        const QByteArray afterKill = readFile(exePath);
        QVERIFY2(afterKill == OldBytes || afterKill == build, qPrintable(where));
        if (!killed)
            QCOMPARE(afterKill, build);
        const bool expectNew = afterKill == build && !QFile::exists(appDir.filePath(Journal));

        const bool wasKilled = killed;
        runDriver("check", 0); // the next start
        if (QTest::currentTestFailed())
            return;
        killed = wasKilled;

        // The dead updater's lock was taken over: the next start recovered, and left no lock behind.
        checkFolderAfterNextStart(appDir.path(), build, backupTaken ? earlierBackup : QByteArray(), expectNew,
                                  where);
        if (QTest::currentTestFailed())
            return;
        // A restarted program may still be writing beside itself.
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(appDir.filePath("started.txt.part")), 10000);
    }
    const int killPoints = killPoint - 2;
    qInfo("killed at %d steps in turn", killPoints);
    QVERIFY2(killPoints >= UpdateSteps, qPrintable(QString::number(killPoints)));
}

QTEST_GUILESS_MAIN(CrashTest)
#include "tst_crash.moc"
