#include "windowtestsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QImage>
#include <QLayout>
#include <QMetaMethod>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QLabel>
#include <QTest>

using namespace TestNames;

namespace {
const QByteArray Same = "Tarvino-6.10.1-20251201.exe";
}

class ListingCheckTest : public QObject
{
    Q_OBJECT

private slots:
    void windowShape();
    void listingPages_data();
    void listingPages();
    void failedChecks_data();
    void failedChecks();
    void connectionRefused();
    void releasesPageAnswers_data();
    void releasesPageAnswers();
    void sideFileHoldsTheBodyExactly();
    void identityFromArgumentSelectsFolder();
    void unusableIdentitySendsNoRequest_data();
    void unusableIdentitySendsNoRequest();
    void closeEndsTheWindow();
    void folderThatTakesNoUpdate_data();
    void folderThatTakesNoUpdate();
#ifndef Q_OS_WIN // under Wine a Linux python3 cannot be run and read as a child; e2e_windows serves with it
    void pythonHttpServer();
#endif
};

void ListingCheckTest::windowShape()
{
    WindowFixture f;
    f.serveListing({});
    auto window = f.open();

    QCOMPARE(window->windowTitle(), QStringLiteral("Tarvíno updater"));
    QCOMPARE(window->objectName(), QStringLiteral("Tarvíno updater"));
    QVERIFY(!window->windowIcon().isNull());
    QVERIFY(!window->windowIcon().pixmap(QSize(64, 64)).isNull());
    const QImage icon(":/images/png/512/Tarvino-1.png");
    QCOMPARE(icon.size(), QSize(512, 512));
    QVERIFY(icon.hasAlphaChannel());

    QLayout *layout = window->layout();
    QCOMPARE(layout->count(), 3);
    QVERIFY(qobject_cast<QLabel *>(layout->itemAt(0)->widget()));
    auto *line = qobject_cast<QFrame *>(layout->itemAt(1)->widget());
    QVERIFY(line);
    QCOMPARE(line->frameShape(), QFrame::HLine);
    auto *box = qobject_cast<QDialogButtonBox *>(layout->itemAt(2)->widget());
    QVERIFY(box);
    QCOMPARE(box->standardButtons(),
             QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Close);
    QVERIFY(!box->button(QDialogButtonBox::Ok)->isEnabled());
    QVERIFY(!box->button(QDialogButtonBox::Cancel)->isEnabled());
    QVERIFY(box->button(QDialogButtonBox::Close)->isEnabled());
    QCOMPARE(labelText(*window), versionsText(Identity, "None"));

    // Buttons and replies reach the window through exactly these slots.
    const QMetaObject &meta = TarvinoUpdater::staticMetaObject;
    QCOMPARE(meta.className(), "TarvinoUpdater");
    QStringList slotNames;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        QCOMPARE(meta.method(i).methodType(), QMetaMethod::Slot);
        QCOMPARE(meta.method(i).access(), QMetaMethod::Private);
        slotNames << QString::fromLatin1(meta.method(i).methodSignature());
    }
    QCOMPARE(slotNames, QStringList({"downloadFinished(QNetworkReply*)", "downloadFinished2(QNetworkReply*)",
                                 "okSlot()", "cancelSlot()", "closeSlot()"}));
}

void ListingCheckTest::listingPages_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QString>("possible");
    QTest::addColumn<QString>("note"); // below the versions

    const auto page = &listingPage;
    QTest::newRow("older then newer") << page({Older, Newer}) << QString::fromLatin1(Newer) << QString();
    QTest::newRow("newer then older") << page({Newer, Older}) << "None" << QString();
    QTest::newRow("same build") << page({Older, Same}) << "None" << QString();
    QTest::newRow("empty page") << QByteArray() << "None" << QString();
    QTest::newRow("CRLF lines") << page({Older, Newer}).replace("\n", "\r\n") << "None" << QString();
    QTest::newRow("upper-case tags")
        << QByteArray("<LI><A href=\"" + Newer + "\">x</A></LI>\n") << "None" << QString();
    QTest::newRow("spaces before the tags")
        << QByteArray("  <li><a href=\"" + Newer + "\">x</a></li>\n") << "None" << QString();
    QTest::newRow("last line without line feed")
        << QByteArray("<li><a href=\"" + Newer + "\">x</a></li>") << "None" << QString();
    QTest::newRow("several links on a line")
        << QByteArray("<li><a href=\"" + Newer + "\">n</a></li><li><a href=\"" + Older + "\">o</a></li>\n")
        << QString::fromLatin1(Newer) << QString();
    QTest::newRow("invalid date") << page({"Tarvino-6.10.1-build7.exe"}) << "None" << QString();
    // Refused at once, and shortened wherever it is shown.
    const QByteArray huge = "?" + QByteArray(10 * 1024 * 1024, 'a');
    QTest::newRow("a last name of 10 MiB") << page({Newer}) + "<li><a href=\"" + huge + "\">x</a></li>\n" << "None"
        << "The newest entry of the listing, \"?" + QString(62, u'a') + "…\", is not a plain file name, so nothing "
           "is offered.";
    // The name is in the line's first bytes, however long the link text after it.
    QTest::newRow("a link text of 5,000 characters")
        << QByteArray("<li><a href=\"" + Newer + "\">" + QByteArray(5000, 'x') + "</a></li>\n")
        << QString::fromLatin1(Newer) << QString();
    QTest::newRow("a name that ends past 4 KiB")
        << page({Newer}) + "<li><a href=\"" + QByteArray(5000, 'a') + "\">x</a></li>\n" << "None"
        << "The newest entry of the listing, \"" + QString(63, u'a') + "…\", is not a plain file name, so nothing "
           "is offered.";
    QTest::newRow("a last name of 256 characters") << page({Newer, Newer + QByteArray(256 - Newer.size(), 'a')})
        << "None" << "The newest entry of the listing, \"" + QString::fromLatin1(Newer) + QString(63 - Newer.size(), u'a')
           + "…\", is not a plain file name, so nothing is offered.";
}

void ListingCheckTest::listingPages()
{
    QFETCH(QByteArray, page);
    QFETCH(QString, possible);
    QFETCH(QString, note);

    WindowFixture f;
    // A folder moved on the same server is followed there.
    TestHttpServer::Response moved = TestHttpServer::status(302, "Found");
    moved.headers = {{"Location", "/moved/"}};
    f.server.setResponse(ListingPath, moved);
    f.server.setResponse("/moved/", TestHttpServer::ok(page));
    auto window = f.open();

    QCOMPARE(labelText(*window), versionsText(Identity, possible) + (note.isEmpty() ? "" : "\n\n" + note));
    QCOMPARE(button(*window, QDialogButtonBox::Ok)->isEnabled(), possible != u"None");
    QCOMPARE(f.server.distinctPaths(),
             QList<QByteArray>({"/Windows/6.10.1/Executables/", "/Windows/Releases/", "/moved/"}));
    // Narrower than the smallest common screen, whatever the texts.
    QVERIFY2(window->sizeHint().width() < 1024, qPrintable(QString::number(window->sizeHint().width())));

    // The version lines are never broken; only the notes below them wrap.
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    auto *label = qobject_cast<QLabel *>(window->layout()->itemAt(0)->widget());
    const QFontMetrics metrics = label->fontMetrics();
    const QString versions = versionsText(Identity, possible.size() > 64 ? possible.left(63) + u'…' : possible);
    QVERIFY2(metrics.size(0, versions).width() <= label->contentsRect().width(),
             qPrintable(QString::number(label->contentsRect().width())));
    if (note.isEmpty())
        QCOMPARE(label->height(), metrics.size(0, versions).height());
}

void ListingCheckTest::failedChecks_data()
{
    QTest::addColumn<TestHttpServer::Response>("response");
    QTest::addColumn<QString>("reason");

    const QByteArray page = listingPage({Older, Newer});
    QTest::newRow("404") << TestHttpServer::status(404, "Not Found", page) << "The server answered 404 Not Found.";
    QTest::newRow("500") << TestHttpServer::status(500, "Internal Server Error", page)
                         << "The server answered 500 Internal Server Error.";
    // Answers Qt does not follow are no listing, whatever their body says.
    QTest::newRow("300") << TestHttpServer::status(300, "Multiple Choices", page)
                         << "The server answered 300 Multiple Choices.";
    QTest::newRow("304") << TestHttpServer::status(304, "Not Modified", page) << "";

    TestHttpServer::Response stall = TestHttpServer::ok(page);
    stall.mode = TestHttpServer::Response::Mode::Stall;
    QTest::newRow("stall") << stall << "No complete answer came from the server within 0.3 seconds.";

    TestHttpServer::Response truncated = TestHttpServer::ok(page);
    truncated.mode = TestHttpServer::Response::Mode::Truncate;
    truncated.truncateAt = page.size() / 2;
    QTest::newRow("truncated") << truncated << "";

    QByteArray huge = page;
    huge.append(QByteArray(16 * 1024 * 1024, 'x'));
    QTest::newRow("larger than 16 MiB") << TestHttpServer::ok(huge) << "The answer is larger than 16 MiB.";
    // Refused on its headers, not after a trickle of what it announced.
    TestHttpServer::Response announced = TestHttpServer::dripped(page, 1, 100);
    announced.contentLength = false;
    announced.headers = {{"Content-Length", "10995116277760"}};
    QTest::newRow("announces 10 TB and trickles") << announced << "The answer is larger than 16 MiB.";
}

void ListingCheckTest::failedChecks()
{
    QFETCH(TestHttpServer::Response, response);
    QFETCH(QString, reason);

    WindowFixture f;
    f.server.setResponse(ListingPath, response);
    auto window = f.open(Identity, 300);

    const QString text = labelText(*window);
    const QString prefix = versionsText(Identity, "None") + "\n\nThe update check failed: ";
    QVERIFY2(text.startsWith(prefix), qPrintable(text));
    if (!reason.isEmpty())
        QCOMPARE(text.mid(prefix.size()), reason);
    QVERIFY(!button(*window, QDialogButtonBox::Ok)->isEnabled());
    // The page is still kept, as far as it came.
    QVERIFY(QFile::exists("ListOfExecutables.html"));
}

void ListingCheckTest::connectionRefused()
{
    WindowFixture f;
    const QUrl base = f.server.baseUrl();
    f.server.close();
    Tarvino::UpdaterContext context = f.context();
    context.downloadBaseUrl = base;
    TarvinoUpdater window(context);

    const QString text = labelText(window);
    QVERIFY2(text.startsWith(versionsText(Identity, "None") + "\n\nThe update check failed: "), qPrintable(text));
    // Said once, though neither page came.
    QVERIFY2(text.count("The update check failed") == 1 && !text.contains("releases"), qPrintable(text));
    QVERIFY(!button(window, QDialogButtonBox::Ok)->isEnabled());
    QVERIFY(!button(window, QDialogButtonBox::Cancel)->isEnabled());
    QVERIFY(button(window, QDialogButtonBox::Close)->isEnabled());
}

void ListingCheckTest::releasesPageAnswers_data()
{
    QTest::addColumn<TestHttpServer::Response>("releases");
    QTest::addColumn<bool>("buildsPage");
    QTest::addColumn<QString>("note"); // below the versions; empty: none

    const QByteArray olderRelease = listingPage({"Tarvino-6.10.1-20250101"});
    // A host without releases refuses the folder's address as it likes.
    for (const int status : {403, 404, 410})
        QTest::addRow("%d: no releases", status) << TestHttpServer::status(status, "No") << true << QString();
    QTest::newRow("500") << TestHttpServer::status(500, "Internal Server Error") << true
                         << "The releases were not checked: The update check failed: The server answered 500 "
                            "Internal Server Error.";
    TestHttpServer::Response announced = TestHttpServer::dripped(olderRelease, 1, 100);
    announced.contentLength = false;
    announced.headers = {{"Content-Length", "10995116277760"}};
    QTest::newRow("announces 10 TB and trickles")
        << announced << true << "The releases were not checked: The update check failed: The answer is larger than 16 MiB.";
    // After a release, its Qt need have no single builds.
    QTest::newRow("releases, but no executables page")
        << TestHttpServer::ok(olderRelease) << false << QString();
    QTest::newRow("neither page") << TestHttpServer::status(404, "Not Found") << false
                                  << "The update check failed: The server answered 404 Not Found.";
}

void ListingCheckTest::releasesPageAnswers()
{
    QFETCH(TestHttpServer::Response, releases);
    QFETCH(bool, buildsPage);
    QFETCH(QString, note);
    WindowFixture f;
    if (buildsPage)
        f.serveListing({Older, Newer});
    f.server.setResponse("/Windows/Releases/", releases);
    auto window = f.open(Identity, 300);

    const QString possible = buildsPage ? QString::fromLatin1(Newer) : QStringLiteral("None");
    QCOMPARE(labelText(*window), versionsText(Identity, possible) + (note.isEmpty() ? "" : "\n\n" + note));
    QCOMPARE(button(*window, QDialogButtonBox::Ok)->isEnabled(), buildsPage);
    // What the server answered is still there for support.
    if (releases.status >= 400 && releases.status < 500)
        QVERIFY(readFile(f.appPath(Log)).contains("Releases/: the server answered " + QByteArray::number(releases.status)));
}

void ListingCheckTest::sideFileHoldsTheBodyExactly()
{
    WindowFixture f;
    QByteArray page = listingPage({Older, Newer});
    page += QByteArray("\r\n\0binary\xff\xfe tail", 16);
    f.server.setResponse(ListingPath, TestHttpServer::ok(page));
    auto window = f.open();

    QFile side("ListOfExecutables.html");
    QVERIFY(side.open(QIODevice::ReadOnly));
    QCOMPARE(side.readAll(), page);
    QVERIFY(!QFile::exists(f.appDir.filePath("ListOfExecutables.html")));
}

void ListingCheckTest::identityFromArgumentSelectsFolder()
{
    WindowFixture f;
    f.server.setResponse("/Windows/6.8.0/Executables/",
                         TestHttpServer::ok(listingPage({"Tarvino-6.8.0-20240401.exe"})));
    auto window = f.open("Tarvino-6.8.0-20240315");

    QVERIFY(f.server.distinctPaths().contains("/Windows/6.8.0/Executables/"));
    QVERIFY(!f.server.distinctPaths().contains(ListingPath));
    QCOMPARE(window->currentVersion(), QStringLiteral("Tarvino-6.8.0-20240315"));
    QCOMPARE(labelText(*window), versionsText("Tarvino-6.8.0-20240315", "Tarvino-6.8.0-20240401.exe"));
    QVERIFY(button(*window, QDialogButtonBox::Ok)->isEnabled());
}

void ListingCheckTest::unusableIdentitySendsNoRequest_data()
{
    QTest::addColumn<QString>("identity");
    QTest::newRow("no Qt version") << "Tarvino";
    QTest::newRow("path") << "../Tarvino-6.10.1-1";
    QTest::newRow("encoded path") << "..%2fTarvino-6.10.1-1";
}

void ListingCheckTest::unusableIdentitySendsNoRequest()
{
    QFETCH(QString, identity);
    WindowFixture f;
    f.serveListing({Newer});
    auto window = f.open(identity);

    QVERIFY(f.server.requestedPaths().isEmpty());
    const QString text = labelText(*window);
    QVERIFY2(text.startsWith(versionsText(identity, "None") + "\n\n"), qPrintable(text));
    QVERIFY(text.size() > versionsText(identity, "None").size() + 10);
    QVERIFY(!button(*window, QDialogButtonBox::Ok)->isEnabled());
}

void ListingCheckTest::closeEndsTheWindow()
{
    WindowFixture f;
    f.serveListing({Older, Newer});
    auto window = f.open();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    button(*window, QDialogButtonBox::Close)->click();
    QTRY_VERIFY(!window->isVisible());
    QVERIFY(!QFile::exists(f.appDir.filePath(QString::fromLatin1(Newer))));
}

void ListingCheckTest::folderThatTakesNoUpdate_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("says"); // after the path it names
    const QString inTheWay = ", stands where the updater keeps its lock file. Move it away, then start the updater again.";
    QTest::newRow("a folder at the lock's name") << "folder" << ", a folder" + inTheWay;
#ifndef Q_OS_WIN
    QTest::newRow("a link at the lock's name") << "link" << ", a link" + inTheWay;
#endif
#ifdef Q_OS_LINUX
    QTest::newRow("a folder that cannot be written")
        << "read-only" << " cannot be written. Move the application to a folder of your own, or run the updater "
                          "as an administrator.";
#endif
}

// What there is to have is still shown; Ok is not offered, and the window says why.
void ListingCheckTest::folderThatTakesNoUpdate()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, says);
    WindowFixture f;
    QVERIFY(f.install(OldBytes));
    f.serveListing({Older, Newer});
    const QString lock = f.appPath(Lock);
    QString named = QDir::toNativeSeparators(lock);
    auto unmount = qScopeGuard([&] {
        if (obstacle == u"read-only")
            runProgram(runsAsRoot() ? "umount" : "chmod", runsAsRoot() ? QStringList{f.appDir.path()}
                                                                       : QStringList{"0755", f.appDir.path()});
    });
    if (obstacle == u"folder") {
        QVERIFY(QDir().mkdir(lock));
    } else if (obstacle == u"link") {
        QVERIFY(QFile::link(f.workDir.filePath("elsewhere"), lock));
    } else {
        named = "No update can be installed: the folder " + QDir::toNativeSeparators(f.appDir.path());
        // Root writes anywhere but on a read-only mount.
        QCOMPARE(runProgram(runsAsRoot() ? "mount" : "chmod",
                            runsAsRoot() ? QStringList{"--bind", "-o", "ro", f.appDir.path(), f.appDir.path()}
                                         : QStringList{"0555", f.appDir.path()}),
                 0);
        if (runsAsRoot())
            QCOMPARE(runProgram("mount", {"-o", "remount,bind,ro", f.appDir.path()}), 0);
        QVERIFY(!QFile(f.appPath("probe")).open(QIODevice::WriteOnly));
    }
    const QStringList before = folderFiles(f.appDir.path());
    auto window = f.open();

    const QString text = labelText(*window);
    QVERIFY2(text.startsWith(versionsText(Identity, QString::fromLatin1(Newer)) + "\n\n"), qPrintable(text));
    QVERIFY2(text.endsWith(named + says), qPrintable(text));
    QVERIFY(!button(*window, QDialogButtonBox::Ok)->isEnabled());
    QVERIFY(f.server.distinctPaths().contains(ListingPath));
    QVERIFY(obstacle != u"folder" || QFileInfo(lock).isDir());
    QVERIFY(obstacle != u"link" || QFileInfo(lock).isSymLink());
    QStringList after = before;
    if (obstacle != u"read-only")
        after << Log;
    after.sort();
    QCOMPARE(folderFiles(f.appDir.path()), after);
}

#ifndef Q_OS_WIN
void ListingCheckTest::pythonHttpServer()
{
    WindowFixture f;
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath("Windows/6.10.1/Executables"));
    for (const QByteArray &name : {Older, Newer, Same}) {
        QFile file(root.filePath("Windows/6.10.1/Executables/" + QString::fromLatin1(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("build");
    }

    QProcess python;
    python.setProcessChannelMode(QProcess::MergedChannels);
    python.setWorkingDirectory(root.path());
    python.start("python3", {"-u", "-m", "http.server", "0", "--bind", "127.0.0.1"});
    QVERIFY2(python.waitForStarted(), "python3 is needed for this test");
    const QRegularExpression portLine(R"(port (\d+))");
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += python.readAll(), portLine.match(QString::fromUtf8(output)).hasMatch()),
                             10000);
    const QString port = portLine.match(QString::fromUtf8(output)).captured(1);

    Tarvino::UpdaterContext context = f.context();
    context.downloadBaseUrl = QUrl("http://127.0.0.1:" + port + "/");
    TarvinoUpdater window(context);
    python.kill();
    python.waitForFinished();

    // Python lists a directory sorted by name, which for these names is by date.
    QCOMPARE(labelText(window), versionsText(Identity, QString::fromLatin1(Newer)));
    QVERIFY(button(window, QDialogButtonBox::Ok)->isEnabled());
}

#endif

QTEST_MAIN(ListingCheckTest)
#include "tst_listingcheck.moc"
