#include "windowtestsupport.h"

#include <QCursor>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

#ifdef Q_OS_UNIX
#  include <unistd.h>
#endif

namespace {

using namespace TestNames;

const QByteArray OldBytes = "#!/bin/false\nthe old build\n";

// A real program large enough to arrive in many pieces: bytes past the end of a
// program do not keep it from running.
QByteArray slowProgram()
{
    return recorderProgram() + QByteArray(256 * 1024, '\0');
}

QStringList appFiles(const QString &appDir)
{
    QStringList names = QDir(appDir).entryList(QDir::Files | QDir::Hidden);
    names.sort();
    return names;
}

// Messages from the updater, in the order they came.
QStringList messages;
void collectMessages(QtMsgType, const QMessageLogContext &, const QString &text)
{
    messages.append(text);
}

bool runsAsRootWithMount()
{
#ifdef Q_OS_UNIX
    QProcess probe;
    probe.start("mount", {"--version"});
    return ::geteuid() == 0 && probe.waitForFinished() && probe.exitCode() == 0;
#else
    return false;
#endif
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished() && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

} // namespace

class UpdateTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void goodUpdate();
    void failedDownloads_data();
    void failedDownloads();
    void backupNameTaken();
    void identityArgumentNamesBackup();
    void secondOkDuringDownloadIsIgnored();
    void newBuildThatCannotStartIsRolledBack();
    void cancelAfterFailureStartsInstalledProgram();
    void leftoversFromInterruptedRunAreRemoved();
    void fullDisk();
    void swapThatCannotMoveTheExecutable();

private:
    struct Setup
    {
        WindowFixture fixture;
        QString appDir;
        QString exePath;
    };
    static void prepare(Setup &s, const QByteArray &installed = OldBytes);
    static void checkUntouched(const Setup &s, const TarvinoUpdater &window);
    static std::unique_ptr<TarvinoUpdater> openWithSlowDownload(Setup &s);
};

void UpdateTest::init()
{
    messages.clear();
}

void UpdateTest::prepare(Setup &s, const QByteArray &installed)
{
    s.appDir = s.fixture.appDir.path() + u'/';
    s.exePath = s.appDir + Exe;
    QVERIFY(writeFile(s.exePath, installed));
    s.fixture.serveListing({Older, Newer});
}

// After a failure: the old program is in place, nothing else was left behind,
// the window is still there and lets the user try again.
void UpdateTest::checkUntouched(const Setup &s, const TarvinoUpdater &window)
{
    QCOMPARE(readFile(s.exePath), OldBytes);
    QCOMPARE(appFiles(s.appDir), QStringList{Exe});
    QVERIFY(window.isVisible());
    const QString text = labelText(window);
    QVERIFY2(text.startsWith(versionsText(Identity, QString::fromLatin1(Newer)) + "\n\nThe update failed: "),
             qPrintable(text));
    QVERIFY(button(window, QDialogButtonBox::Ok)->isEnabled());
    QVERIFY(button(window, QDialogButtonBox::Cancel)->isEnabled());
    QVERIFY(button(window, QDialogButtonBox::Close)->isEnabled());
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
}

// A window whose download of the newer build arrives in many small pieces.
std::unique_ptr<TarvinoUpdater> UpdateTest::openWithSlowDownload(Setup &s)
{
    prepare(s);
    s.fixture.server.setResponse(NewerPath, TestHttpServer::dripped(slowProgram(), 16 * 1024, 10));
    auto window = s.fixture.open();
    window->show();
    return window;
}

void UpdateTest::goodUpdate()
{
    Setup s;
    auto window = openWithSlowDownload(s);
    const QByteArray program = slowProgram();
    const QFileDevice::Permissions before = QFile::permissions(s.exePath);

    // Watch the window while the download runs inside Ok's wait.
    bool sawWaitCursor = false;
    bool sawProgress = false;
    QTimer watcher;
    connect(&watcher, &QTimer::timeout, this, [&] {
        if (QGuiApplication::overrideCursor() && QGuiApplication::overrideCursor()->shape() == Qt::WaitCursor)
            sawWaitCursor = true;
        if (labelText(*window).contains(QRegularExpression("Downloading: .* of .* \\(\\d+%\\)")))
            sawProgress = true;
    });
    watcher.start(2);

    const QtMessageHandler testLog = qInstallMessageHandler(collectMessages);
    button(*window, QDialogButtonBox::Ok)->click();
    qInstallMessageHandler(testLog);
    watcher.stop();

    QVERIFY(sawWaitCursor);
    QVERIFY(sawProgress);
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    QVERIFY(!window->isVisible());
    QCOMPARE(messages.filter("Inicio").size() + messages.filter("Se supone").size(), 2);
    QVERIFY(messages.indexOf("Inicio de descarga del archivo ejecutable")
            < messages.indexOf(QStringLiteral("Se supone que ya terminó")));
    QVERIFY(messages.contains(QStringLiteral("Se supone que ya terminó")));

    QCOMPARE(readFile(s.exePath), program);
    QCOMPARE(readFile(s.appDir + Identity), OldBytes);
    QVERIFY(QFile::permissions(s.exePath) & QFileDevice::ExeOwner);
    QCOMPARE(QFile::permissions(s.exePath) & ~QFileDevice::Permissions(QFileDevice::ExeOwner | QFileDevice::ExeUser),
             before & ~QFileDevice::Permissions(QFileDevice::ExeOwner | QFileDevice::ExeUser));
    QCOMPARE(s.fixture.server.requestCount(NewerPath), 1);

    // The restarted program ran with no arguments, in the updater's working directory.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(s.appDir + "started.txt"), 10000);
    QCOMPARE(readFile(s.appDir + "started.txt"),
             "arguments 0\ncwd " + QDir::currentPath().toUtf8() + '\n');
    QCOMPARE(appFiles(s.appDir), QStringList({Identity, Exe, "started.txt"}));
    QVERIFY(QFile::exists(s.fixture.workDir.filePath("ListOfExecutables.html")));
}

void UpdateTest::failedDownloads_data()
{
    QTest::addColumn<TestHttpServer::Response>("response");
    QTest::addColumn<QString>("reason");

    const QByteArray program = recorderProgram();
    QTest::newRow("404") << TestHttpServer::status(404, "Not Found", program)
                         << "The server answered 404 Not Found.";
    QTest::newRow("500") << TestHttpServer::status(500, "Internal Server Error", program)
                         << "The server answered 500 Internal Server Error.";

    TestHttpServer::Response truncated = TestHttpServer::ok(program);
    truncated.mode = TestHttpServer::Response::Mode::Truncate;
    truncated.truncateAt = program.size() / 2;
    QTest::newRow("truncated") << truncated << "";

    QTest::newRow("empty 200") << TestHttpServer::ok({}) << "The server sent an empty file.";

    TestHttpServer::Response partial = TestHttpServer::status(206, "Partial Content", program);
    QTest::newRow("206 instead of 200") << partial << "The server answered 206 instead of 200.";

    TestHttpServer::Response stall = TestHttpServer::ok(program);
    stall.mode = TestHttpServer::Response::Mode::Stall;
    QTest::newRow("stall") << stall << "The server did not answer for 0.5 seconds.";

    QTest::newRow("stall midway") << TestHttpServer::dripped(program, 4096, 5000)
                                  << "The server did not answer for 0.5 seconds.";
}

void UpdateTest::failedDownloads()
{
    QFETCH(TestHttpServer::Response, response);
    QFETCH(QString, reason);

    Setup s;
    prepare(s);
    s.fixture.server.setResponse(NewerPath, response);
    auto window = s.fixture.open(Identity, 500);
    window->show();
    button(*window, QDialogButtonBox::Ok)->click();

    checkUntouched(s, *window);
    if (!reason.isEmpty())
        QVERIFY2(labelText(*window).endsWith("The update failed: " + reason), qPrintable(labelText(*window)));

    // Ok tries again, and this time the server delivers.
    s.fixture.server.setResponse(NewerPath, TestHttpServer::ok(recorderProgram()));
    button(*window, QDialogButtonBox::Ok)->click();
    QVERIFY(!window->isVisible());
    QCOMPARE(readFile(s.exePath), recorderProgram());
    QCOMPARE(readFile(s.appDir + Identity), OldBytes);
}

void UpdateTest::backupNameTaken()
{
    Setup s;
    prepare(s);
    QVERIFY(writeFile(s.appDir + Identity, "an earlier backup"));
    s.fixture.server.setResponse(NewerPath, TestHttpServer::ok(recorderProgram()));
    auto window = s.fixture.open();
    window->show();
    button(*window, QDialogButtonBox::Ok)->click();

    QVERIFY(!window->isVisible());
    QCOMPARE(readFile(s.exePath), recorderProgram());
    QCOMPARE(readFile(s.appDir + Identity), QByteArray("an earlier backup"));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(s.appDir + "started.txt"), 10000);
    QCOMPARE(appFiles(s.appDir), QStringList({Identity, Exe, "started.txt"}));
}

void UpdateTest::identityArgumentNamesBackup()
{
    Setup s;
    prepare(s);
    const QString identity = QStringLiteral("Tarvino-6.10.1-20250601");
    s.fixture.server.setResponse(NewerPath, TestHttpServer::ok(recorderProgram()));
    auto window = s.fixture.open(identity);
    window->show();
    button(*window, QDialogButtonBox::Ok)->click();

    QVERIFY(!window->isVisible());
    QCOMPARE(readFile(s.appDir + identity), OldBytes);
    QCOMPARE(readFile(s.exePath), recorderProgram());
}

void UpdateTest::secondOkDuringDownloadIsIgnored()
{
    Setup s;
    auto window = openWithSlowDownload(s);
    const QByteArray program = slowProgram();

    int secondPresses = 0;
    QTimer presser;
    connect(&presser, &QTimer::timeout, this, [&] {
        // Straight to the slot: a disabled button would swallow a click.
        if (window->isVisible() && QMetaObject::invokeMethod(window.get(), "okSlot"))
            ++secondPresses;
    });
    presser.start(10);
    button(*window, QDialogButtonBox::Ok)->click();
    presser.stop();

    QVERIFY(secondPresses > 0);
    QCOMPARE(s.fixture.server.requestCount(NewerPath), 1);
    QCOMPARE(readFile(s.exePath), program);
    QCOMPARE(readFile(s.appDir + Identity), OldBytes);
}

void UpdateTest::newBuildThatCannotStartIsRolledBack()
{
    Setup s;
    prepare(s);
    s.fixture.server.setResponse(NewerPath, TestHttpServer::ok("not a program at all"));
    auto window = s.fixture.open();
    window->show();
    button(*window, QDialogButtonBox::Ok)->click();

    checkUntouched(s, *window);
    QVERIFY(labelText(*window).endsWith(
        "The new version could not be started. The previous version was put back."));
}

void UpdateTest::cancelAfterFailureStartsInstalledProgram()
{
    Setup s;
    prepare(s, recorderProgram());
    QVERIFY(QFile::setPermissions(s.exePath, QFile::permissions(s.exePath) | QFileDevice::ExeOwner));
    auto window = s.fixture.open();
    window->show();
    button(*window, QDialogButtonBox::Ok)->click(); // the build is not on the server: 404
    QVERIFY(window->isVisible());
    QCOMPARE(readFile(s.exePath), recorderProgram());

    button(*window, QDialogButtonBox::Cancel)->click();
    QVERIFY(!window->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(s.appDir + "started.txt"), 10000);
    QCOMPARE(appFiles(s.appDir), QStringList({Exe, "started.txt"}));
}

void UpdateTest::leftoversFromInterruptedRunAreRemoved()
{
    Setup s;
    prepare(s);
    QVERIFY(writeFile(s.appDir + ".Tarvíno.exe.part-0badf00d", "half a download"));
    auto window = s.fixture.open();
    QCOMPARE(appFiles(s.appDir), QStringList{Exe});
}

void UpdateTest::fullDisk()
{
    if (!runsAsRootWithMount())
        QSKIP("needs root to mount a small tmpfs");
    Setup s;
    const QString small = s.fixture.appDir.filePath("small");
    QVERIFY(QDir().mkpath(small));
    if (!run("mount", {"-t", "tmpfs", "-o", "size=256k", "tmpfs", small}))
        QSKIP("cannot mount a tmpfs here");
    auto unmount = qScopeGuard([&] { run("umount", {small}); });

    s.appDir = small + u'/';
    s.exePath = s.appDir + Exe;
    QVERIFY(writeFile(s.exePath, OldBytes));
    s.fixture.serveListing({Older, Newer});
    s.fixture.server.setResponse(NewerPath, TestHttpServer::ok(QByteArray(1024 * 1024, 'x')));
    Tarvino::UpdaterContext context = s.fixture.context();
    context.appDir = small;
    TarvinoUpdater window(context);
    window.show();
    button(window, QDialogButtonBox::Ok)->click();

    checkUntouched(s, window);
    QVERIFY2(labelText(window).contains("could not be written") || labelText(window).contains("Cannot write"),
             qPrintable(labelText(window)));
}

void UpdateTest::swapThatCannotMoveTheExecutable()
{
    if (!runsAsRootWithMount())
        QSKIP("needs root to bind-mount the executable");
    Setup s;
    prepare(s);
    // A mount point cannot be renamed: the first step of the swap fails.
    if (!run("mount", {"--bind", s.exePath, s.exePath}))
        QSKIP("cannot bind-mount here");
    auto unmount = qScopeGuard([&] { run("umount", {s.exePath}); });
    s.fixture.server.setResponse(NewerPath, TestHttpServer::ok(recorderProgram()));
    auto window = s.fixture.open();
    window->show();
    button(*window, QDialogButtonBox::Ok)->click();

    checkUntouched(s, *window);
    QVERIFY(labelText(*window).contains("Cannot move"));
}

QTEST_MAIN(UpdateTest)
#include "tst_update.moc"
