#include "installation.h"
#include "testsupport.h"

#include <QDir>
#include <QScopeGuard>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

using namespace Tarvino;

namespace {

using TestNames::Exe;

} // namespace

class InstallationTest : public QObject
{
    Q_OBJECT

private slots:
    void stagingFileCompletesAndCleansUp();
    void swapKeepsBackup();
    void failedSecondStepPutsOldBack();
    void collisionKeepsEarlierBackupUntilCommit();
    void rollbackRestoresOldExecutable_data();
    void rollbackRestoresOldExecutable();
    void leftoversAreRemoved();
    void interruptedSwapIsRepaired();
    void uncommittedSwapThatCannotBeUndoneWaits();
    void failedUndoKeepsItsJournal();
};

void InstallationTest::stagingFileCompletesAndCleansUp()
{
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    {
        StagingFile staging(appDir, Exe);
        QVERIFY(staging.open());
        QVERIFY(staging.path().startsWith(appDir + StagingFile::prefix(Exe)));
        staging.device()->write("12345");
        QVERIFY(!staging.complete(6)); // a size that does not match is a failure
        QVERIFY(staging.errorString().contains("5 bytes instead of 6"));
    }
    QCOMPARE(folderFiles(dir.path()), QStringList{});

    StagingFile staging(appDir, Exe);
    QVERIFY(staging.open());
    staging.device()->write("12345");
    QVERIFY(staging.complete(5));
#ifdef Q_OS_WIN
    // Windows knows programs by their suffix, and a leading dot hides nothing there.
    QVERIFY(QFileInfo(staging.path()).isHidden());
#else
    QVERIFY(QFile::permissions(staging.path()) & QFileDevice::ExeOwner);
#endif
    staging.release();
    const QString path = staging.path();
    QCOMPARE(readFile(path), QByteArray("12345"));
}

void InstallationTest::swapKeepsBackup()
{
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    QVERIFY(writeFile(appDir + Exe, "old"));
    QVERIFY(writeFile(appDir + "staged", "new"));

    Installation installation(appDir, Exe);
    QVERIFY(installation.install(appDir + "staged", "Tarvino-6.10.1-1"));
    installation.commit();
    QCOMPARE(readFile(appDir + Exe), QByteArray("new"));
    QCOMPARE(readFile(appDir + "Tarvino-6.10.1-1"), QByteArray("old"));
    QCOMPARE(folderFiles(dir.path()), QStringList({"Tarvino-6.10.1-1", Exe}));
}

void InstallationTest::failedSecondStepPutsOldBack()
{
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    QVERIFY(writeFile(appDir + Exe, "old"));

    Installation installation(appDir, Exe);
    QVERIFY(!installation.install(appDir + "vanished", "Tarvino-6.10.1-1"));
    QVERIFY(installation.errorString().contains(Exe));
    QCOMPARE(readFile(appDir + Exe), QByteArray("old"));
    QCOMPARE(folderFiles(dir.path()), QStringList{Exe});
}

void InstallationTest::collisionKeepsEarlierBackupUntilCommit()
{
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    QVERIFY(writeFile(appDir + Exe, "old"));
    QVERIFY(writeFile(appDir + "Tarvino-6.10.1-1", "earlier backup"));
    QVERIFY(writeFile(appDir + "staged", "new"));

    Installation installation(appDir, Exe);
    QVERIFY(installation.install(appDir + "staged", "Tarvino-6.10.1-1"));
    QCOMPARE(readFile(appDir + Exe), QByteArray("new"));
    QCOMPARE(readFile(appDir + "Tarvino-6.10.1-1"), QByteArray("earlier backup"));
    // Until the commit the old bytes wait under a hidden name, which the journal records.
    QCOMPARE(folderFiles(dir.path()).filter(".journal").size(), 1);
    QCOMPARE(folderFiles(dir.path()).filter(".old-").size(), 1);
    installation.commit();
    QCOMPARE(folderFiles(dir.path()), QStringList({"Tarvino-6.10.1-1", Exe}));
}

void InstallationTest::rollbackRestoresOldExecutable_data()
{
    addBackupNameRows();
}

void InstallationTest::rollbackRestoresOldExecutable()
{
    QFETCH(bool, backupTaken);
    const bool collision = backupTaken;
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    QVERIFY(writeFile(appDir + Exe, "old"));
    if (collision)
        QVERIFY(writeFile(appDir + "Tarvino-6.10.1-1", "earlier backup"));
    QVERIFY(writeFile(appDir + "staged", "new"));

    Installation installation(appDir, Exe);
    QVERIFY(installation.install(appDir + "staged", "Tarvino-6.10.1-1"));
    QVERIFY(installation.rollback());
    QCOMPARE(readFile(appDir + Exe), QByteArray("old"));
    QStringList expected{Exe};
    if (collision) {
        QCOMPARE(readFile(appDir + "Tarvino-6.10.1-1"), QByteArray("earlier backup"));
        expected.prepend("Tarvino-6.10.1-1");
    }
    QCOMPARE(folderFiles(dir.path()), expected);
}

void InstallationTest::leftoversAreRemoved()
{
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    QVERIFY(writeFile(appDir + Exe, "current"));
    QVERIFY(writeFile(appDir + StagingFile::prefix(Exe) + "1a2b3c4d", "half a download"));
    QVERIFY(writeFile(appDir + u'.' + Exe + ".old-1a2b3c4d", "already replaced"));
    QVERIFY(writeFile(appDir + "Tarvino-6.10.1-1", "backup"));

    recoverInterruptedUpdate(appDir, Exe);
    QCOMPARE(folderFiles(dir.path()), QStringList({"Tarvino-6.10.1-1", Exe}));
    QCOMPARE(readFile(appDir + Exe), QByteArray("current"));
}

void InstallationTest::interruptedSwapIsRepaired()
{
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    QVERIFY(writeFile(appDir + u'.' + Exe + ".old-1a2b3c4d", "old"));
    QVERIFY(writeFile(appDir + StagingFile::prefix(Exe) + "1a2b3c4d", "new, never moved in"));

    recoverInterruptedUpdate(appDir, Exe);
    QCOMPARE(folderFiles(dir.path()), QStringList{Exe});
    QCOMPARE(readFile(appDir + Exe), QByteArray("old"));
}

// As on Windows while the new program runs: the old one cannot go back yet, so
// the journal stays and a later start finishes the undo.
void InstallationTest::uncommittedSwapThatCannotBeUndoneWaits()
{
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    QVERIFY(writeFile(appDir + Exe, "old"));
    QVERIFY(writeFile(appDir + "staged", "new"));
    QVERIFY(Installation(appDir, Exe).install(appDir + "staged", "Tarvino-6.10.1-1")); // never committed

    auto clearHook = qScopeGuard([] { setFileStepHook({}); });
    setFileStepHook([](const char *step, const QString &) { return qstrcmp(step, "rename") == 0 ? EACCES : 0; });
    QVERIFY(!recoverInterruptedUpdate(appDir, Exe));
    QCOMPARE(readFile(appDir + Exe), QByteArray("new"));
    QCOMPARE(folderFiles(dir.path()).filter(".journal").size(), 1);

    setFileStepHook({});
    QVERIFY(recoverInterruptedUpdate(appDir, Exe));
    QCOMPARE(readFile(appDir + Exe), QByteArray("old"));
    QCOMPARE(folderFiles(dir.path()), QStringList{Exe});
}

// The swap fails, and so does forgetting the old bytes' second name: the journal
// stays, so the next start leaves no stray backup behind.
void InstallationTest::failedUndoKeepsItsJournal()
{
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    QVERIFY(writeFile(appDir + Exe, "old"));
    QVERIFY(writeFile(appDir + "staged", "new"));

    auto clearHook = qScopeGuard([] { setFileStepHook({}); });
    setFileStepHook([](const char *step, const QString &path) {
        return qstrcmp(step, "rename") == 0 && path.endsWith(Exe) ? EXDEV
            : qstrcmp(step, "unlink") == 0 && path.endsWith("Tarvino-6.10.1-1") ? EACCES
                                                                                 : 0;
    });
    QVERIFY(!Installation(appDir, Exe).install(appDir + "staged", "Tarvino-6.10.1-1"));
    setFileStepHook({});
    QCOMPARE(folderFiles(dir.path()).filter(".journal").size(), 1);

    QVERIFY(recoverInterruptedUpdate(appDir, Exe));
    QCOMPARE(readFile(appDir + Exe), QByteArray("old"));
    QCOMPARE(folderFiles(dir.path()), QStringList{Exe});
}

QTEST_GUILESS_MAIN(InstallationTest)
#include "tst_installation.moc"
