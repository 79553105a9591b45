#include "fileops.h"
#include "folderlock.h"
#include "hashcache.h"
#include "stagingfile.h"
#include "supportlog.h"
#include "swap.h"
#include "testsupport.h"
#include "unpack.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

#include <zstd.h>

#ifdef Q_OS_WIN
#  include <windows.h>
#else
#  include <sys/stat.h>
#endif

using namespace Tarvino;

namespace {

using TestNames::Exe;

// The application folder of a swap: the old program, and a new build staged as "staged".
QString swapFolder(const QTemporaryDir &dir)
{
    const QString appDir = dir.path() + u'/';
    if (!writeFile(appDir + Exe, "old") || !writeFile(appDir + "staged", "new"))
        qFatal("cannot write in %s", qPrintable(appDir));
    return appDir;
}

// The swap of a single build: the program alone, kept beside itself.
bool installProgram(Swap &swap, const QString &staged, const QString &backupName)
{
    const SwapChange change{SwapChange::Kind::Replace, Exe, QFileInfo(staged).fileName()};
    return swap.install({change}, backupName, Swap::Backup::BesideProgram);
}

} // namespace

class InstallationTest : public QObject
{
    Q_OBJECT

private slots:
    void stagingFileCompletesAndCleansUp();
    void swapKeepsBackup();
    void failedSecondStepPutsOldBack();
    void takenBackupNameGetsACounter();
    void stepsInOrder_data();
    void stepsInOrder();
    void newProgramTakesOldPermissions_data();
    void newProgramTakesOldPermissions();
    void oneUpdaterPerFolder();
    void supportLogKeepsItsNewestLines();
    void supportLogIsAPlainFileOfItsOwn_data();
    void supportLogIsAPlainFileOfItsOwn();
#ifdef Q_OS_WIN
    void briefLocksAreWaitedOut_data();
    void briefLocksAreWaitedOut();
#endif
    void rollbackRestoresOldExecutable_data();
    void rollbackRestoresOldExecutable();
    void leftoversAreRemoved();
    void interruptedSwapIsRepaired();
    void uncommittedSwapThatCannotBeUndoneWaits();
    void failedUndoKeepsItsJournal_data();
    void failedUndoKeepsItsJournal();
    void releaseSwapFailingAtEachStep();
    void journalsOfEarlierUpdaters_data();
    void journalsOfEarlierUpdaters();
    void filesAreReadOnlyWhenTheyChanged_data();
    void filesAreReadOnlyWhenTheyChanged();
    void unpack_data();
    void unpack();
    void unpackOnAFullDrive();
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
    const QString appDir = swapFolder(dir);

    Swap installation(appDir, Exe);
    QVERIFY(installProgram(installation, appDir + "staged", "Tarvino-6.10.1-1"));
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

    Swap installation(appDir, Exe);
    QVERIFY(!installProgram(installation, appDir + "vanished", "Tarvino-6.10.1-1"));
    QVERIFY(installation.errorString().contains(Exe));
    QCOMPARE(readFile(appDir + Exe), QByteArray("old"));
    QCOMPARE(folderFiles(dir.path()), QStringList{Exe});
}

void InstallationTest::takenBackupNameGetsACounter()
{
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    QVERIFY(writeFile(appDir + Exe, "old"));
    QVERIFY(writeFile(appDir + "Tarvino-6.10.1-1", "earlier backup"));
    QVERIFY(QDir(appDir).mkdir("Tarvino-6.10.1-1 (2)"));
    QVERIFY(writeFile(appDir + "staged", "new"));

    Swap installation(appDir, Exe);
    QVERIFY(installProgram(installation, appDir + "staged", "Tarvino-6.10.1-1"));
    QVERIFY(installation.commit());
    QCOMPARE(installation.backupPath(), appDir + "Tarvino-6.10.1-1 (3)");
    QCOMPARE(readFile(appDir + Exe), QByteArray("new"));
    QCOMPARE(readFile(appDir + "Tarvino-6.10.1-1"), QByteArray("earlier backup"));
    QCOMPARE(readFile(appDir + "Tarvino-6.10.1-1 (3)"), QByteArray("old"));
    QCOMPARE(folderFiles(dir.path()), QStringList({"Tarvino-6.10.1-1", "Tarvino-6.10.1-1 (3)", Exe}));
}

void InstallationTest::stepsInOrder_data()
{
    QTest::addColumn<bool>("linksWork");
    QTest::addColumn<QStringList>("secondName");
    QTest::newRow("hard link") << true << QStringList{"link B"};
    QTest::newRow("no hard links: a flushed copy") << false
                                                   << QStringList{"link B", "open B", "write B", "fsync B"};
}

// The journal reaches the disk before it takes its name, and the folder after
// every change to it, before the next step.
void InstallationTest::stepsInOrder()
{
    QFETCH(bool, linksWork);
    QFETCH(QStringList, secondName);
    QTemporaryDir dir;
    const QString appDir = swapFolder(dir);

    QStringList trace;
    auto clearHook = qScopeGuard([] { setFileStepHook({}); });
    setFileStepHook([&](const char *step, const QString &path) {
        const QString name = QFileInfo(path).fileName();
        trace << (qstrcmp(step, "fsync-dir") == 0 ? QStringLiteral("fsync-dir") : step + (u' ' + name));
        return !linksWork && qstrcmp(step, "link") == 0 ? TestNames::NoHardLinks : 0;
    });
    Swap installation(appDir, Exe);
    QVERIFY2(installProgram(installation, appDir + "staged", "B"), qPrintable(installation.errorString()));
    QVERIFY(installation.commit());
    const QString journal = u'.' + Exe + ".journal";
    const QStringList expected = QStringList{"attributes staged", "open " + journal + ".new", "write " + journal + ".new",
                                             "fsync " + journal + ".new", "rename " + journal, "fsync-dir"}
        + secondName + QStringList{"fsync-dir", "rename " + Exe, "fsync-dir", "unlink " + journal, "fsync-dir"};
    QCOMPARE(trace, expected);
    QCOMPARE(readFile(appDir + "B"), QByteArray("old"));
    QCOMPARE(readFile(appDir + Exe), QByteArray("new"));
}

void InstallationTest::newProgramTakesOldPermissions_data()
{
    QTest::addColumn<uint>("old");
    QTest::addColumn<uint>("installed");
    QTest::addColumn<bool>("linksWork");
    // Without hard links the backup is a copy, which must stay as runnable as the program was.
    for (const bool linksWork : {true, false}) {
        const char *drive = linksWork ? "" : ", no hard links";
#ifdef Q_OS_WIN
        QTest::addRow("plain: the staging file's hidden attribute goes%s", drive)
            << uint(FILE_ATTRIBUTE_ARCHIVE) << uint(FILE_ATTRIBUTE_ARCHIVE) << linksWork;
        QTest::addRow("a hidden program stays hidden%s", drive)
            << uint(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN)
            << uint(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN) << linksWork;
#else
        QTest::addRow("0755%s", drive) << 0755u << 0755u << linksWork;
        QTest::addRow("0750%s", drive) << 0750u << 0750u << linksWork;
        QTest::addRow("0644: owner-execute added%s", drive) << 0644u << 0744u << linksWork;
#endif
    }
}

void InstallationTest::newProgramTakesOldPermissions()
{
    QFETCH(uint, old);
    QFETCH(uint, installed);
    QFETCH(bool, linksWork);
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    const QString exe = appDir + Exe;
    auto clearHook = qScopeGuard([] { setFileStepHook({}); });
    setFileStepHook([linksWork](const char *step, const QString &) {
        return !linksWork && qstrcmp(step, "link") == 0 ? TestNames::NoHardLinks : 0;
    });
    QVERIFY(writeFile(exe, "old"));
    StagingFile staging(appDir, Exe);
    QVERIFY(staging.open());
    staging.device()->write("new");
    QVERIFY(staging.complete(3));
#ifdef Q_OS_WIN
    QVERIFY(SetFileAttributesW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(exe).utf16()), old));
    QVERIFY(QFileInfo(staging.path()).isHidden());
#else
    QVERIFY(::chmod(QFile::encodeName(exe).constData(), old) == 0);
#endif
    Swap installation(appDir, Exe);
    QVERIFY2(installProgram(installation, staging.path(), "Tarvino-6.10.1-1"), qPrintable(installation.errorString()));
    staging.release();
    QVERIFY(installation.commit());
    const auto mode = [](const QString &path) {
#ifdef Q_OS_WIN
        return uint(GetFileAttributesW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16())));
#else
        struct stat status;
        return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? uint(status.st_mode & 07777) : 0u;
#endif
    };
    QCOMPARE(mode(exe), installed);
    QCOMPARE(mode(appDir + "Tarvino-6.10.1-1"), old);
}

void InstallationTest::supportLogKeepsItsNewestLines()
{
    QTemporaryDir dir;
    const QString log = dir.filePath("log");
    QByteArray lines;
    for (int i = 0; i < 1000; ++i)
        lines += "line " + QByteArray::number(i) + ' ' + QByteArray(90, 'x') + '\n';
    QVERIFY(writeFile(log, lines));
    QVERIFY(SupportLog::trim(log, 80 * 1000, 50 * 1000));
    const QByteArray kept = readFile(log);
    QVERIFY(kept.size() <= 50 * 1000 && kept.size() > 49 * 1000);
    QVERIFY(kept.startsWith("line "));
    QVERIFY(kept.endsWith("line 999 " + QByteArray(90, 'x') + '\n'));
    QVERIFY(SupportLog::trim(log, 80 * 1000, 50 * 1000));
    QCOMPARE(readFile(log), kept); // small enough: left as it is
}

void InstallationTest::supportLogIsAPlainFileOfItsOwn_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("a plain file: written, with control characters escaped and the record bounded") << "file";
#ifndef Q_OS_WIN
    QTest::newRow("a symbolic link: the file it names is left alone") << "symlink";
#endif
    QTest::newRow("a hard link: the file's other name is left alone") << "hardlink";
    QTest::newRow("a folder: left alone") << "folder";
}

// Neither the append nor the trim ever follows a name to another file.
void InstallationTest::supportLogIsAPlainFileOfItsOwn()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    const QString log = dir.filePath(TestNames::Log);
    const QString elsewhere = dir.filePath("elsewhere.txt");
    const QByteArray precious(700 * 1000, 'p'); // past the size that is trimmed
    QVERIFY(writeFile(elsewhere, precious));
    if (kind == u"symlink")
        QVERIFY(QFile::link(elsewhere, log));
    else if (kind == u"hardlink")
        QCOMPARE(FileOps::linkFile(elsewhere, log), 0);
    else if (kind == u"folder")
        QVERIFY(QDir().mkdir(log));

    QVERIFY(SupportLog::trim(log));
    SupportLog::start(log);
    const QString text = QStringLiteral("a") + QChar(0) + QStringLiteral("b\x1b[31m") + QString(5000, u'x');
    SupportLog::write(text);
    SupportLog::stop();
    QCOMPARE(readFile(elsewhere), precious);
    if (kind == u"file") {
        const QByteArray line = readFile(log);
        QVERIFY2(line.contains("] a\\x00b\\x1b[31mxxx"), line.left(100).constData());
        QVERIFY2(line.endsWith("x… (" + QByteArray::number(text.size() - 4096) + " more characters)\n"),
                 line.right(100).constData());
    }
    QVERIFY(kind != u"folder" || QFileInfo(log).isDir());
}

void InstallationTest::oneUpdaterPerFolder()
{
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    FolderLock first(appDir, Exe);
    QVERIFY(first.tryLock());
    FolderLock second(appDir, Exe);
    QVERIFY(!second.tryLock());
    QVERIFY(second.isBusy());
    QCOMPARE(second.errorString(), "Another update of this program is in progress.");
}

#ifdef Q_OS_WIN
void InstallationTest::briefLocksAreWaitedOut_data()
{
    QTest::addColumn<int>("holdMs");
    QTest::newRow("the new build held for a second: installed") << 1000;
    QTest::newRow("held for good: a clear message, nothing changed") << 60000;
}

// As a virus scanner holds a file it has just seen written.
void InstallationTest::briefLocksAreWaitedOut()
{
    QFETCH(int, holdMs);
    QTemporaryDir dir;
    const QString appDir = swapFolder(dir);
    QProcess holder;
    holder.start(QStringLiteral(TARVINO_FILE_HOLDER), {QDir::toNativeSeparators(appDir + "staged"),
                                                         QString::number(holdMs)});
    QVERIFY(holder.waitForReadyRead(30000));

    Swap installation(appDir, Exe);
    const bool installed = installProgram(installation, appDir + "staged", "Tarvino-6.10.1-1");
    holder.kill();
    holder.waitForFinished();
    if (holdMs < 5000) {
        QVERIFY2(installed, qPrintable(installation.errorString()));
        QVERIFY(installation.commit());
        QCOMPARE(readFile(appDir + Exe), QByteArray("new"));
        QCOMPARE(folderFiles(dir.path()), QStringList({"Tarvino-6.10.1-1", Exe}));
    } else {
        QVERIFY(!installed);
        QVERIFY2(installation.errorString().contains(qt_error_string(ERROR_SHARING_VIOLATION)),
                 qPrintable(installation.errorString()));
        QCOMPARE(readFile(appDir + Exe), QByteArray("old"));
        QCOMPARE(folderFiles(dir.path()), QStringList({Exe, "staged"}));
    }
}
#endif

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

    Swap installation(appDir, Exe);
    QVERIFY(installProgram(installation, appDir + "staged", "Tarvino-6.10.1-1"));
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
    // Two programs set aside, by two updates: the newer one is the program.
    const QString older = appDir + u'.' + Exe + ".old-1a2b3c4d";
    const QString newer = appDir + u'.' + Exe + ".old-9f9f9f9f";
    QVERIFY(writeFile(older, "older"));
    QVERIFY(writeFile(newer, "old"));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const auto &[path, time] : {std::pair{older, now.addDays(-2)}, std::pair{newer, now.addDays(-1)}}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.setFileTime(time, QFileDevice::FileModificationTime));
    }
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
    const QString appDir = swapFolder(dir);
    Swap swap(appDir, Exe);
    QVERIFY(installProgram(swap, appDir + "staged", "Tarvino-6.10.1-1")); // never committed

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

void InstallationTest::failedUndoKeepsItsJournal_data()
{
    QTest::addColumn<bool>("movedAside");
    QTest::newRow("the backup cannot be forgotten") << false;
#ifdef Q_OS_WIN
    QTest::newRow("the program moved aside while it ran cannot go back") << true;
#endif
}

// The swap fails, and so does part of its undo: the journal stays, so the next
// start finishes the undo and leaves no stray backup behind.
void InstallationTest::failedUndoKeepsItsJournal()
{
    QFETCH(bool, movedAside);
    QTemporaryDir dir;
    const QString appDir = swapFolder(dir);

    auto clearHook = qScopeGuard([] { setFileStepHook({}); });
    setFileStepHook([movedAside](const char *step, const QString &path) {
        if (movedAside) // every rename onto the program's name is refused, as while it runs
            return qstrcmp(step, "rename") == 0 && path.endsWith(Exe) ? 5 /* ERROR_ACCESS_DENIED */ : 0;
        return qstrcmp(step, "rename") == 0 && path.endsWith(Exe) ? EXDEV
            : qstrcmp(step, "unlink") == 0 && path.endsWith("Tarvino-6.10.1-1") ? EACCES
                                                                                 : 0;
    });
    Swap installation(appDir, Exe);
    QVERIFY(!installProgram(installation, appDir + "staged", "Tarvino-6.10.1-1"));
    setFileStepHook({});
    QCOMPARE(folderFiles(dir.path()).filter(".journal").size(), 1);
    if (movedAside) {
        QVERIFY2(installation.errorString().endsWith("will be put back when the updater next starts."),
                 qPrintable(installation.errorString()));
        QVERIFY(!QFile::exists(appDir + Exe));
        QCOMPARE(readFile(appDir + "Tarvino-6.10.1-1"), QByteArray("old"));
    }

    QVERIFY(recoverInterruptedUpdate(appDir, Exe));
    QCOMPARE(readFile(appDir + Exe), QByteArray("old"));
    QCOMPARE(folderFiles(dir.path()), QStringList{Exe});
}

// A release's swap, with each of its file steps failing in turn: a failed swap
// is undone at once (the folder wholly old, no journal), a whole one leaves the
// folder wholly new. The first pass fails nothing and checks the steps' order:
// the journal is durable before the first move, and the folders are flushed
// once after the old files are kept and once after the new ones are in.
void InstallationTest::releaseSwapFailingAtEachStep()
{
    const QList<std::pair<QString, QByteArray>> before{{Exe, "old exe"}, {"lib.dll", "lib 1"}, {"gone.dll", "gone"}};
    const QList<std::pair<QString, QByteArray>> after{{Exe, "new exe"}, {"lib.dll", "lib 2"}, {"plugins/new.dll", "new"}};
    const QList<SwapChange> changes{{SwapChange::Kind::Replace, Exe},
                                    {SwapChange::Kind::Replace, "lib.dll"},
                                    {SwapChange::Kind::Add, "plugins/new.dll"},
                                    {SwapChange::Kind::Remove, "gone.dll"}};
    auto clearHook = qScopeGuard([] { setFileStepHook({}); });
    int failing = 0;
    for (bool reached = true; reached; ++failing) {
        QTemporaryDir dir;
        const QString appDir = dir.path() + u'/';
        for (const auto &[path, bytes] : before)
            QVERIFY(writeFile(appDir + path, bytes));
        Swap swap(appDir, Exe);
        QVERIFY(swap.prepare("R"));
        for (const auto &[path, bytes] : after)
            QVERIFY(QDir().mkpath(QFileInfo(swap.stagingDir() + path).absolutePath())
                    && writeFile(swap.stagingDir() + path, bytes));
        QStringList trace;
        int steps = 0;
        reached = false;
        setFileStepHook([&](const char *step, const QString &path) {
            trace << QString::fromLatin1(step) + u' ' + QString(path).remove(appDir);
            if (++steps != failing)
                return 0;
            reached = true;
            return EIO;
        });
        const bool installed = swap.install(changes, "B", Swap::Backup::Folder, {Exe, "lib.dll", "plugins"});
        setFileStepHook({});
        const QString where = QStringLiteral("step %1 (%2): %3")
                                  .arg(failing)
                                  .arg(failing > 0 && failing <= trace.size() ? trace.at(failing - 1) : QString(),
                                       swap.errorString());
        if (failing == 0) {
            QVERIFY2(installed, qPrintable(where));
            const QString journal = u'.' + Exe + ".journal";
            const QString staging = QFileInfo(swap.stagingDir().chopped(1)).fileName();
            const QStringList expected{
                "open " + journal + ".new", "write " + journal + ".new", "fsync " + journal + ".new",
                "rename " + journal, "fsync-dir " + dir.path(),
                "mkdir B", "rename B/" + Exe, "rename B/lib.dll", "rename B/gone.dll",
                "fsync-dir " + dir.path(), "fsync-dir B",
                "rename " + Exe, "rename lib.dll", "mkdir plugins", "rename plugins/new.dll",
                "fsync-dir " + dir.path(), "fsync-dir " + staging, "fsync-dir plugins", "fsync-dir " + staging + "/plugins"};
            QCOMPARE(trace, expected);
        }
        const auto &holds = installed ? after : before;
        for (const auto &[path, bytes] : holds)
            QVERIFY2(readFile(appDir + path) == bytes, qPrintable(where + ": " + path));
        if (!installed) {
            // The staging folder is its owner's, to take up or remove.
            QCOMPARE(folderTree(dir.path()).filter(QRegularExpression("^(?!\\.Tarv)")),
                     QStringList({Exe, "gone.dll", "lib.dll"}));
            QVERIFY(!QFile::exists(appDir + u'.' + Exe + ".journal"));
            QVERIFY(swap.errorString().contains(qt_error_string(EIO)) && !swap.errorString().contains("next starts"));
        }
        QVERIFY2(installed == (failing == 0 || !reached), qPrintable(where));
        reached = reached || failing == 0;
    }
    QCOMPARE(failing - 2, 19);
}

void InstallationTest::journalsOfEarlierUpdaters_data()
{
    QTest::addColumn<QByteArray>("journal");
    QTest::addColumn<bool>("readable");
    QTest::newRow("a single build's, swapped")
        << QByteArray("Tarvino update journal 1\nstaged .staged\nkept B\ndisplaced .Tarv\xc3\xadno.exe.old-1\n") << true;
    QTest::newRow("a release's, swapped")
        << QByteArray("Tarvino release journal 1\nstaging .s\nkept B\nreplace Tarv\xc3\xadno.exe\nadd plugins/new.dll\n"
                      "remove gone.dll\n")
        << true;
    QTest::newRow("this updater's, swapped")
        << QByteArray("Tarvino journal 2\nstaging .s\nbackup B\nreplace\tmove\tTarv\xc3\xadno.exe\t.s/Tarv\xc3\xadno.exe\t"
                      "B/Tarv\xc3\xadno.exe\t\nadd\tmove\tplugins/new.dll\t.s/plugins/new.dll\t\t\n"
                      "remove\tmove\tgone.dll\t\tB/gone.dll\t\n")
        << true;
    QTest::newRow("a release's reaching outside the folder")
        << QByteArray("Tarvino release journal 1\nstaging .s\nkept B\nreplace ../Tarv\xc3\xadno.exe\n") << false;
    QTest::newRow("a backup that is the program itself")
        << QByteArray("Tarvino journal 2\nstaging \nbackup \nreplace\tlink\tTarv\xc3\xadno.exe\t.staged\tTarv\xc3\xadno.exe\t\n")
        << false;
    QTest::newRow("a line cut short") << QByteArray("Tarvino journal 2\nstaging .s\nbackup B\nreplace\tmove\tlib.dll\n")
                                      << false;
}

// A journal left by an earlier version of the updater is undone by this one;
// one it cannot read leaves everything as it is.
void InstallationTest::journalsOfEarlierUpdaters()
{
    QFETCH(QByteArray, journal);
    QFETCH(bool, readable);
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    const bool release = !journal.contains("staged");
    // The state each journal describes once its swap was done: the new files in, the old ones kept.
    const auto put = [&appDir](const QString &path, const QByteArray &bytes) {
        return QDir().mkpath(QFileInfo(appDir + path).absolutePath()) && writeFile(appDir + path, bytes);
    };
    QVERIFY(put(Exe, "new exe"));
    QVERIFY(put(release ? "B/" + Exe : QStringLiteral("B"), "old exe"));
    if (release) {
        QVERIFY(put("plugins/new.dll", "new"));
        QVERIFY(put("B/gone.dll", "gone"));
        QVERIFY(put(".s/unused", "staged, not needed"));
    }
    QVERIFY(writeFile(appDir + u'.' + Exe + ".journal", journal));
    const QStringList left = folderTree(dir.path());

    RecoveryReport report;
    QCOMPARE(recoverInterruptedUpdate(appDir, Exe, &report), readable);
    if (!readable) {
        QCOMPARE(folderTree(dir.path()), left);
        QVERIFY(report.notice.contains("cannot read"));
        return;
    }
    QCOMPARE(readFile(appDir + Exe), QByteArray("old exe"));
    QCOMPARE(folderTree(dir.path()), release ? QStringList({Exe, "gone.dll"}) : QStringList{Exe});
}

void InstallationTest::filesAreReadOnlyWhenTheyChanged_data()
{
    QTest::addColumn<QString>("change"); // what happens to the file between two starts
    QTest::addColumn<int>("reads");      // how often the second start reads it
    QTest::newRow("nothing") << "" << 0;
    QTest::newRow("rewritten with its size and modification time") << "rewritten" << 1;
    QTest::newRow("replaced by another file") << "replaced" << 1;
    QTest::newRow("written a moment ago: not noted") << "fresh" << 1;
    QTest::newRow("checked and moved in by the updater: noted unread") << "noted" << 0;
}

// A start and an update read only the files that changed since one of them
// last read them, and the hash a start gets is always that of the bytes there.
void InstallationTest::filesAreReadOnlyWhenTheyChanged()
{
    QFETCH(QString, change);
    QFETCH(int, reads);
    QTemporaryDir dir;
    const QString appDir = dir.path() + u'/';
    const QString file = appDir + "lib.dll";
    const auto setModified = [](const QString &path, const QDateTime &time) {
        QFile f(path);
        return f.open(QIODevice::ReadWrite) && f.setFileTime(time, QFileDevice::FileModificationTime);
    };
    const QDateTime before = QDateTime::currentDateTime().addSecs(-60);
    QVERIFY(writeFile(file, "lib 1") && setModified(file, before));
    if (change != u"fresh") {
        HashCache hashes(appDir, Exe);
        QCOMPARE(hashes.sha256("lib.dll"), QCryptographicHash::hash("lib 1", QCryptographicHash::Sha256));
        QCOMPARE(hashes.save(), 0);
    }
    QByteArray now = "lib 1";
    if (change == u"rewritten") {
        now = "lib 2";
        QVERIFY(writeFile(file, now) && setModified(file, before));
    } else if (change == u"replaced") {
        now = "lib 3";
        QVERIFY(writeFile(file + ".new", now) && setModified(file + ".new", before));
        QVERIFY(FileOps::renameOver(file + ".new", file) == 0);
    } else if (change == u"fresh") {
        QVERIFY(writeFile(file, now));
        HashCache hashes(appDir, Exe);
        hashes.sha256("lib.dll");
        hashes.save();
    } else if (change == u"noted") {
        now = "lib 4";
        QVERIFY(writeFile(file, now));
        HashCache hashes(appDir, Exe);
        hashes.note("lib.dll", QCryptographicHash::hash(now, QCryptographicHash::Sha256));
        QCOMPARE(hashes.save(), 0);
    }
    int read = 0;
    auto clearHook = qScopeGuard([] { setFileStepHook({}); });
    setFileStepHook([&read](const char *step, const QString &) {
        read += qstrcmp(step, "hash") == 0;
        return 0;
    });
    HashCache hashes(appDir, Exe);
    QCOMPARE(hashes.sha256("lib.dll"), QCryptographicHash::hash(now, QCryptographicHash::Sha256));
    QCOMPARE(read, reads);
}

namespace {

// A zstd frame that does not say its size and asks for a 2 GiB window.
QByteArray frameWithAHugeWindow(const QByteArray &file)
{
    ZSTD_CCtx *context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 31);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(file.size())) + 64), Qt::Uninitialized);
    ZSTD_outBuffer output{out.data(), size_t(out.size()), 0};
    ZSTD_inBuffer first{file.constData(), size_t(file.size() / 2), 0};
    ZSTD_compressStream2(context, &output, &first, ZSTD_e_continue);
    ZSTD_inBuffer rest{file.constData() + file.size() / 2, size_t(file.size() - file.size() / 2), 0};
    while (ZSTD_compressStream2(context, &output, &rest, ZSTD_e_end) > 0) {
    }
    ZSTD_freeCCtx(context);
    out.resize(qsizetype(output.pos));
    return out;
}

QByteArray pseudoText(qint64 size, int version)
{
    QByteArray bytes;
    bytes.reserve(size + 64);
    for (int i = 0; bytes.size() < size; ++i)
        bytes += "word" + QByteArray::number(i * 2654435761u % 1000003) + (i % 4096 == 0 ? "v" + QByteArray::number(version) : "") + ' ';
    bytes.truncate(size);
    return bytes;
}

} // namespace

void InstallationTest::unpack_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("base");   // the folder's file a patch applies to; empty: none
    QTest::addColumn<QByteArray>("packed");
    QTest::addColumn<QString>("refusal");  // the message's end; empty: decoded into file
    const QByteArray small = pseudoText(300 * 1024, 2);
    const QByteArray old = pseudoText(300 * 1024, 1);
    QTest::newRow("a compressed copy") << small << QByteArray() << zstdPacked(small) << "";
    QTest::newRow("a patch") << small << old << zstdPacked(small, old) << "";
    // Larger than the step at which pages go back to the page cache.
    const QByteArray large = pseudoText(72 * 1024 * 1024, 2);
    const QByteArray largeOld = pseudoText(72 * 1024 * 1024, 1);
    QTest::newRow("a patch of 72 MiB") << large << largeOld << zstdPacked(large, largeOld) << "";
    // Mapped as data while it runs (a patch of the updater itself, or of a library it loaded).
    const QByteArray self = readFile(QCoreApplication::applicationFilePath());
    QTest::newRow("a patch from this running program") << self + "next" << QByteArray("<this program>")
        << zstdPacked(self + "next", self) << "";
    QTest::newRow("a patch against another base: other bytes") << small << QByteArray(300 * 1024, 'z')
        << zstdPacked(small, old) << "other bytes";
    QTest::newRow("two frames") << small << QByteArray() << zstdPacked(small.left(1000)) + zstdPacked(small.mid(1000))
                                << "";
    QTest::newRow("cut short") << small << QByteArray() << zstdPacked(small).chopped(10)
                               << "ends before its last frame does.";
    QTest::newRow("more than the file") << small.chopped(1) << QByteArray() << zstdPacked(small)
                                        << "gives more than the 307199 bytes of the file.";
    QTest::newRow("less than the file") << small + 'x' << QByteArray() << zstdPacked(small)
                                        << "gives 307200 bytes, not the 307201 of the file.";
    QTest::newRow("not zstd") << small << QByteArray() << QByteArray("this is no zstd frame at all") << "Unknown frame descriptor";
    QTest::newRow("a frame that asks for a 2 GiB window") << small << QByteArray() << frameWithAHugeWindow(small)
                                                          << "Frame requires too much memory for decoding";
}

// A compressed copy or a patch is decoded into exactly the file's bytes, or
// refused: a frame cut short, longer or shorter than the file, or asking for
// more memory than the file and its base could need.
void InstallationTest::unpack()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, packed);
    QFETCH(QString, refusal);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("packed.zst"), packed));
    const QString basePath = base == "<this program>" ? QCoreApplication::applicationFilePath() : dir.filePath("base");
    if (!base.isEmpty() && base != "<this program>")
        QVERIFY(writeFile(basePath, base));
    QFile target(dir.filePath("target"));
    QVERIFY(target.open(QIODevice::ReadWrite));
    Tarvino::Unpack unpack;
    const bool done = unpack.run(dir.filePath("packed.zst"), base.isEmpty() ? QString() : basePath, target, file.size());
    target.close();
    if (refusal == u"other bytes") {
        QVERIFY(done);
        QVERIFY(unpack.sha256() != QCryptographicHash::hash(file, QCryptographicHash::Sha256));
        return;
    }
    QVERIFY2(done == refusal.isEmpty(), qPrintable(unpack.errorString()));
    if (!done) {
        QVERIFY2(unpack.errorString().endsWith(refusal), qPrintable(unpack.errorString()));
        return;
    }
    QCOMPARE(unpack.sha256(), QCryptographicHash::hash(file, QCryptographicHash::Sha256));
    QVERIFY(readFile(target.fileName()) == file);
    // The base is left as it was.
    if (!base.isEmpty() && base != "<this program>")
        QVERIFY(readFile(basePath) == base);
}

// A drive that fills up fails the decoding with its reason; written through a
// mapping, it would end the program instead.
void InstallationTest::unpackOnAFullDrive()
{
#ifdef Q_OS_WIN
    QSKIP("mounts a small drive");
#else
    if (!runsAsRoot())
        QSKIP("needs root to mount a small drive");
    QTemporaryDir dir;
    const QString small = dir.filePath("small");
    QVERIFY(QDir().mkpath(small));
    QCOMPARE(runProgram("mount", {"-t", "tmpfs", "-o", "size=256k", "tmpfs", small}), 0);
    auto unmount = qScopeGuard([&] { runProgram("umount", {small}); });
    const QByteArray file = pseudoText(1024 * 1024, 1);
    QVERIFY(writeFile(dir.filePath("packed.zst"), zstdPacked(file)));
    QFile target(small + "/target");
    QVERIFY(target.open(QIODevice::ReadWrite));
    Tarvino::Unpack unpack;
    QVERIFY(!unpack.run(dir.filePath("packed.zst"), QString(), target, file.size()));
    QVERIFY2(unpack.errorString().endsWith(Tarvino::FileOps::describe(ENOSPC)), qPrintable(unpack.errorString()));
#endif
}

QTEST_GUILESS_MAIN(InstallationTest)
#include "tst_installation.moc"
