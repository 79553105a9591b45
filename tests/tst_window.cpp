#include "windowtestsupport.h"

#include "fileops.h"
#include "identity.h"

#include <QCursor>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

#include <cerrno>

using namespace TestNames;

namespace {

// A real program large enough to arrive in many pieces: bytes past the end of a
// program do not keep it from running.
QByteArray slowProgram()
{
    return recorderProgram() + QByteArray(256 * 1024, '\0');
}

// Messages from the updater, in the order they came.
QStringList messages;
void collectMessages(QtMsgType, const QMessageLogContext &, const QString &text)
{
    messages.append(text);
}

} // namespace

// What the window adds to the update engine: its texts, buttons, cursor and waits.
class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void goodUpdate();
    void failureKeepsTheWindowOpen_data();
    void failureKeepsTheWindowOpen();
    void onePressOneStart_data();
    void onePressOneStart();
    void cancelAfterFailureStartsInstalledProgram();
    void cancelStopsTheDownload_data();
    void cancelStopsTheDownload();
    void leftoversFromInterruptedRunAreRemoved();
    void theFolderKnowsWhatItHolds();
    void trickleEndsAfterTheWindowClosed();
};

void WindowTest::goodUpdate()
{
    WindowFixture f;
    QVERIFY(f.install(OldBytes));
    f.serveListing({Older, Newer});
    f.server.setResponse(NewerPath, TestHttpServer::dripped(slowProgram(), 16 * 1024, 10));
    // The identity the application passed names the backup.
    const QString identity = QStringLiteral("Tarvino-6.10.1-20250601");
    auto window = f.open(identity);
    window->show();

    // Watch the window while the download runs inside Ok's wait.
    bool sawWaitCursor = false;
    QStringList percentages;
    QTimer watcher;
    connect(&watcher, &QTimer::timeout, this, [&] {
        if (QGuiApplication::overrideCursor() && QGuiApplication::overrideCursor()->shape() == Qt::WaitCursor)
            sawWaitCursor = true;
        const auto match = QRegularExpression("Downloading: .* of .* \\((\\d+)%\\)").match(labelText(*window));
        if (match.hasMatch())
            percentages.append(match.captured(1));
    });
    watcher.start(2);

    messages.clear();
    const QtMessageHandler testLog = qInstallMessageHandler(collectMessages);
    button(*window, QDialogButtonBox::Ok)->click();
    qInstallMessageHandler(testLog);
    watcher.stop();

    QVERIFY(sawWaitCursor);
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    // Progress is shown part of the way through, not only at 0% and 100%.
    const bool partWay = std::any_of(percentages.cbegin(), percentages.cend(), [](const QString &p) {
        return p.toInt() > 0 && p.toInt() < 100;
    });
    QVERIFY2(partWay, qPrintable("percentages seen: " + percentages.join(u' ')));
    QVERIFY(!window->isVisible());
    QCOMPARE(messages.filter(QRegularExpression("Inicio|Se supone")),
             QStringList({"Inicio de descarga del archivo ejecutable", QStringLiteral("Se supone que ya terminó")}));

    QCOMPARE(readFile(f.appPath(Exe)), slowProgram());
    QCOMPARE(readFile(f.appPath(identity)), OldBytes);
    // Restarted in the updater's working directory, whatever the application directory.
    QCOMPARE(startRecord(f.appDir.path()), "arguments 0\ncwd " + QDir::currentPath().toUtf8() + '\n');
    QVERIFY(QFile::exists(f.workDir.filePath("ListOfExecutables.html")));
}

void WindowTest::failureKeepsTheWindowOpen_data()
{
    QTest::addColumn<bool>("withKey");
    QTest::addColumn<QString>("reason");
    QTest::newRow("the build is missing") << false << "The server answered 404 Not Found.";
#if TARVINO_HAVE_SODIUM
    QTest::newRow("its signature is missing")
        << true << "The build's signature could not be fetched: The server answered 404 Not Found.";
#endif
}

// The window says why, keeps the old program, and lets the user try again or start it.
void WindowTest::failureKeepsTheWindowOpen()
{
    QFETCH(bool, withKey);
    QFETCH(QString, reason);

    WindowFixture f;
    QVERIFY(f.install(OldBytes));
    f.serveListing({Older, Newer});
    Tarvino::UpdaterContext context = f.context();
    if (withKey) {
        const KeyPair keys = KeyPair::make();
        f.server.setResponse(ListingSignaturePath,
                             TestHttpServer::ok(listingSignatureFile(keys.secretKey, listingPage({Older, Newer}))));
        f.server.setResponse(NewerPath, TestHttpServer::ok(recorderProgram()));
        context.publicKeys = {keys.publicKey};
    }
    TarvinoUpdater window(context);
    window.show();
    button(window, QDialogButtonBox::Ok)->click();

    QVERIFY(window.isVisible());
    QCOMPARE(labelText(window),
             versionsText(Identity, QString::fromLatin1(Newer)) + "\n\nThe update failed: " + reason);
    QVERIFY(button(window, QDialogButtonBox::Ok)->isEnabled());
    QVERIFY(button(window, QDialogButtonBox::Cancel)->isEnabled());
    QVERIFY(button(window, QDialogButtonBox::Close)->isEnabled());
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    QCOMPARE(readFile(f.appPath(Exe)), OldBytes);
    QCOMPARE(folderFiles(f.appDir.path()), QStringList({Lock, Log, Exe}));
    // What support is sent: who ran, what was asked and found, each step, and what was shown, with times.
    const QString log = QString::fromUtf8(readFile(f.appPath(Log)));
    for (const QString &expected : QStringList{"running identity " + Identity, "Listing: " + f.server.baseUrl().toString() + ListingPath.mid(1),
          QString("QList(\"%1\", \"%2\")").arg(Older, Newer), QString("Offered: ") + Newer,
          "Update to ", "Update failed: " + reason, "Shown: The update failed: " + reason}) {
        QVERIFY2(log.contains(expected), qPrintable(expected + " not in:\n" + log));
    }
    QVERIFY(log.startsWith(QDate::currentDate().toString(Qt::ISODate).left(4)));

    if (!withKey) {
        // Ok tries again, and this time the server delivers.
        f.server.setResponse(NewerPath, TestHttpServer::ok(recorderProgram()));
        button(window, QDialogButtonBox::Ok)->click();
        QVERIFY(!window.isVisible());
        QCOMPARE(readFile(f.appPath(Exe)), recorderProgram());
    }
}

void WindowTest::onePressOneStart_data()
{
    QTest::addColumn<QByteArray>("build");
    QTest::addColumn<bool>("commitFails");
    QTest::addColumn<QString>("running"); // the window's last words; empty: the update succeeds

    const QByteArray stays = slowProgram() + QByteArray("\0stay", 5);
    QTest::newRow("installed and kept") << stays << false << QString();
    QTest::newRow("undone: the previous version runs")
        << slowProgram() + QByteArray("\0exit 3", 7) << false
        << "The previous version, " + Identity + ", is running again.";
    QTest::newRow("the commit fails: the new version runs")
        << stays << true << "The new version, " + QString::fromLatin1(Newer) + ", is running.";
}

// Ok pressed all through an update, and Cancel from the download's arrival
// on, start no second download and no second program, nor does Cancel once
// the engine has started one.
void WindowTest::onePressOneStart()
{
    QFETCH(QByteArray, build);
    QFETCH(bool, commitFails);
    QFETCH(QString, running);
    WindowFixture f;
    QVERIFY(f.install(recorderProgram() + QByteArray("\0stay", 5)));
    QVERIFY(QFile::setPermissions(f.appPath(Exe), QFile::permissions(f.appPath(Exe)) | QFileDevice::ExeOwner));
    f.serveListing({Older, Newer});
    f.server.setResponse(NewerPath, TestHttpServer::dripped(build, 16 * 1024, 10));
    auto stop = qScopeGuard([&] { writeFile(f.appPath("stop"), {}); });
    auto clearHook = qScopeGuard([] { Tarvino::setFileStepHook({}); });
    if (commitFails) {
        Tarvino::setFileStepHook([](const char *step, const QString &path) {
            return qstrcmp(step, "unlink") == 0 && path.endsWith(Journal) ? EACCES : 0;
        });
    }
    auto window = f.open();
    window->show();

    int presses = 0;
    bool cancelDuringDownload = false;
    QTimer presser;
    connect(&presser, &QTimer::timeout, this, [&] {
        // Cancel would stop the download: it is pressed once the download has arrived.
        if (button(*window, QDialogButtonBox::Cancel)->isEnabled()) {
            cancelDuringDownload = true;
            presses += QMetaObject::invokeMethod(window.get(), "okSlot");
            return;
        }
        // Straight to the slots: a disabled button would swallow a click.
        if (window->isVisible() && QMetaObject::invokeMethod(window.get(), "okSlot")
            && QMetaObject::invokeMethod(window.get(), "cancelSlot")) {
            ++presses;
        }
    });
    presser.start(10);
    button(*window, QDialogButtonBox::Ok)->click();
    presser.stop();
    Tarvino::setFileStepHook({});

    QVERIFY(presses > 0);
    QVERIFY(cancelDuringDownload);
    QCOMPARE(f.server.requestCount(NewerPath), 1);
    QCOMPARE(window->isVisible(), !running.isEmpty());
    if (!running.isEmpty()) {
        QVERIFY2(labelText(*window).endsWith("\n\n" + running), qPrintable(labelText(*window)));
        QVERIFY(!button(*window, QDialogButtonBox::Ok)->isEnabled());
        QVERIFY(!button(*window, QDialogButtonBox::Cancel)->isEnabled());
        QVERIFY(QMetaObject::invokeMethod(window.get(), "cancelSlot"));
        QVERIFY(window->isVisible());
        button(*window, QDialogButtonBox::Close)->click();
        QVERIFY(!window->isVisible());
    }
    // Every program started here stays until told to stop.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(f.appPath("started.txt")), 10000);
    QVERIFY(writeFile(f.appPath("stop"), {}));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(f.appPath("stopped.txt")), 10000);
    QCOMPARE(readFile(f.appPath("starts.txt")), "started\n");
}

void WindowTest::cancelAfterFailureStartsInstalledProgram()
{
    WindowFixture f;
    QVERIFY(f.install(recorderProgram()));
    QVERIFY(QFile::setPermissions(f.appPath(Exe), QFile::permissions(f.appPath(Exe)) | QFileDevice::ExeOwner));
    f.serveListing({Older, Newer});
    auto window = f.open();
    window->show();
    button(*window, QDialogButtonBox::Ok)->click(); // the build is not on the server: 404
    QVERIFY(window->isVisible());

    button(*window, QDialogButtonBox::Cancel)->click();
    QVERIFY(!window->isVisible());
    QCOMPARE(startRecord(f.appDir.path()), "arguments 0\ncwd " + QDir::currentPath().toUtf8() + '\n');
    QCOMPARE(folderFiles(f.appDir.path()), QStringList({Lock, Log, Exe, "started.txt", "starts.txt"}));
}

void WindowTest::cancelStopsTheDownload_data()
{
    QTest::addColumn<bool>("release");
    QTest::newRow("a build") << false;
    QTest::newRow("a release") << true;
}

// Cancel during the download stops it at once: the program runs as it was, and
// the next update continues what arrived.
void WindowTest::cancelStopsTheDownload()
{
    QFETCH(bool, release);
    WindowFixture f;
    QVERIFY(f.install(recorderProgram()));
    QVERIFY(QFile::setPermissions(f.appPath(Exe), QFile::permissions(f.appPath(Exe)) | QFileDevice::ExeOwner));
    f.serveListing({Older, Newer});
    const QByteArray build = slowProgram();
    QByteArray path = NewerPath;
    if (release) {
        const QByteArray name = "Tarvino-6.10.1-20260201";
        serveRelease(f.server, name, {{Exe, build}, {Tarvino::updaterProgramName(), recorderProgram() + QByteArray("\0exit 0", 7)}});
        path = "/Windows/Releases/" + name + "/files/" + QUrl::toPercentEncoding(Exe);
    }
    TestHttpServer::Response served = TestHttpServer::dripped(build, 16 * 1024, 10);
    served.headers = {{"ETag", "\"v1\""}};
    served.ranges = true;
    f.server.setResponse(path, served);
    auto window = f.open();
    window->show();

    bool cancelEnabled = false;
    QTimer presser;
    connect(&presser, &QTimer::timeout, this, [&] {
        if (!labelText(*window).contains(QRegularExpression("Downloading: .* \\([1-9]\\d*%\\)")))
            return;
        presser.stop();
        // Nothing more comes: only Cancel ends this download before the silence timeout.
        f.server.setDripsHeld(true);
        cancelEnabled = button(*window, QDialogButtonBox::Cancel)->isEnabled();
        button(*window, QDialogButtonBox::Cancel)->click();
    });
    presser.start(2);
    button(*window, QDialogButtonBox::Ok)->click(); // returns once the update has ended
    presser.stop();

    QVERIFY(cancelEnabled);
    QVERIFY(!window->isVisible());
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    QCOMPARE(readFile(f.appPath(Exe)), recorderProgram());
    QCOMPARE(startRecord(f.appDir.path()), "arguments 0\ncwd " + QDir::currentPath().toUtf8() + '\n');
    const QString log = QString::fromUtf8(readFile(f.appPath(Log)));
    QVERIFY2(log.contains("Download stopped by the user.") && log.contains("for the next try"), qPrintable(log));
    window.reset();

    // The next update asks only for the rest.
    f.server.setDripsHeld(false);
    served.mode = TestHttpServer::Response::Mode::Normal;
    f.server.setResponse(path, served);
    const qsizetype before = f.server.requestedRanges().size();
    window = f.open();
    button(*window, QDialogButtonBox::Ok)->click();
    QVERIFY2(!window->isVisible(), qPrintable(labelText(*window)));
    QCOMPARE(readFile(f.appPath(Exe)), build);
    QList<QByteArray> ranges = f.server.requestedRanges().mid(before);
    ranges.removeAll(QByteArray());
    QVERIFY2(!ranges.isEmpty() && ranges.constFirst() != "bytes=0-", ranges.join(' ').constData());
}

void WindowTest::leftoversFromInterruptedRunAreRemoved()
{
    WindowFixture f;
    QVERIFY(f.install(OldBytes));
    f.serveListing({Older, Newer});
    QVERIFY(writeFile(f.appPath(".Tarvíno.exe.part-0badf00d"), "half a download"));
    auto window = f.open();
    QCOMPARE(folderFiles(f.appDir.path()), QStringList({Lock, Log, Exe}));

    // A second updater on the folder leaves everything to the first, and offers nothing.
    const QString firstOnesDownload = ".Tarvíno.exe.part-1badf00d";
    QVERIFY(writeFile(f.appPath(firstOnesDownload), "the first updater's download"));
    auto second = f.open();
    QCOMPARE(labelText(*second), versionsText(Identity, "None") + "\n\nAnother update of this program is in progress.");
    QVERIFY(!button(*second, QDialogButtonBox::Ok)->isEnabled());
    QCOMPARE(folderFiles(f.appDir.path()), QStringList({Lock, firstOnesDownload, Log, Exe}));
    QCOMPARE(f.server.requestCount(ListingPath), 1);
}

// The application may pass an identity older than what another updater has
// installed meanwhile: the folder's record says what its program is, by its bytes.
void WindowTest::theFolderKnowsWhatItHolds()
{
    WindowFixture f;
    QVERIFY(f.install(OldBytes));
    f.serveListing({Older, Newer});
    f.server.setResponse(NewerPath, TestHttpServer::ok(recorderProgram()));
    button(*f.open(), QDialogButtonBox::Ok)->click();
    QCOMPARE(readFile(f.appPath(Exe)), recorderProgram());

    // Started again with the old identity: nothing is offered twice.
    const QString installed = Tarvino::identityOfEntry(QString::fromLatin1(Newer));
    QCOMPARE(labelText(*f.open()), versionsText(installed, "None"));
    QCOMPARE(f.server.requestCount(NewerPath), 1);

    // The old program put back by hand is known as what it was.
    QVERIFY(QFile::remove(f.appPath(Exe)) && QFile::copy(f.appPath(Identity), f.appPath(Exe)));
    auto window = f.open();
    QCOMPARE(labelText(*window), versionsText(Identity, QString::fromLatin1(Newer)));
    QVERIFY(button(*window, QDialogButtonBox::Ok)->isEnabled());
    window.reset();

    // A program that no record names goes by the identity given.
    QVERIFY(writeFile(f.appPath(Exe), "a program of the user's own"));
    QCOMPARE(labelText(*f.open()), versionsText(Identity, QString::fromLatin1(Newer)));
}

// Closed during a download that trickles, the updater still comes to an end:
// the download is given up, nothing changes, and the process can exit.
void WindowTest::trickleEndsAfterTheWindowClosed()
{
    WindowFixture f;
    QVERIFY(f.install(OldBytes));
    f.serveListing({Older, Newer});
    f.server.setResponse(NewerPath, TestHttpServer::dripped(recorderProgram(), 1, 100));
    Tarvino::UpdaterContext context = f.context();
    context.minimumRate.window = std::chrono::milliseconds(1000);
    TarvinoUpdater window(context);
    window.show();
    QTimer::singleShot(200, &window, &QWidget::close);
    button(window, QDialogButtonBox::Ok)->click(); // returns once the update has ended
    QVERIFY(!window.isVisible());
    QVERIFY2(labelText(window).endsWith("The transfer was slower than 1 KiB/s for 1 seconds, so it was given up."),
             qPrintable(labelText(window)));
    QCOMPARE(readFile(f.appPath(Exe)), OldBytes);
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
