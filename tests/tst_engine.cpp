#include "fileops.h"
#include "identity.h"
#include "journal.h"
#include "listingcheck.h"
#include "stagingfile.h"
#include "swap.h"
#include "testsupport.h"
#include "updatercontext.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <algorithm>
#include <cerrno>

#ifndef Q_OS_WIN
#  include <unistd.h>
#endif

using namespace TestNames;

namespace {

TestHttpServer::Response truncated(const QByteArray &body, qint64 sent)
{
    TestHttpServer::Response response = TestHttpServer::ok(body);
    response.mode = TestHttpServer::Response::Mode::Truncate;
    response.truncateAt = sent;
    return response;
}

// How the watch says that a program ended with this status.
QString endedWith(int code)
{
#ifdef Q_OS_WIN
    return QString::asprintf("it ended with status 0x%08x", code);
#else
    return QString::asprintf("it ended with status %d", code);
#endif
}

} // namespace

// The whole update without a window: download, checks, swap, restart and undo.
class EngineTest : public QObject
{
    Q_OBJECT

private slots:
    void goodUpdate_data();
    void goodUpdate();
    void failedDownloads_data();
    void failedDownloads();
    void brokenDownloadsAreContinued_data();
    void brokenDownloadsAreContinued();
    void partialFromAnEarlierRun_data();
    void partialFromAnEarlierRun();
    void newBuildIsWatched_data();
    void newBuildIsWatched();
    void injectedErrors_data();
    void injectedErrors();
    void releaseThatFails_data();
    void releaseThatFails();
    void releaseFailingAtEachStep();
    void releaseContinuedByTheNextRun_data();
    void releaseContinuedByTheNextRun();
    void backupsOfTheTwoPreviousReleasesStay();
    void theFolderHoldsItsReleaseWhileItsProgramIsThere();
    void theRecordKnowsAProgramByEveryByte();
#ifndef Q_OS_WIN
    void linksAtTheUpdatersNames_data();
    void linksAtTheUpdatersNames();
#endif
#ifdef Q_OS_LINUX // mounts make the disk full and the program immovable
    void smallerForms_data();
    void smallerForms();
    void fullDisk_data();
    void fullDisk();
    void swapThatCannotMoveTheExecutable();
#endif
};

void EngineTest::goodUpdate_data()
{
    addBackupNameRows(true);
}

void EngineTest::goodUpdate()
{
    QFETCH(bool, backupTaken);
    EngineFixture f;
    QVERIFY(QFile::remove(f.appPath(Exe))); // an exFAT drive is mounted on an empty folder
    MOUNT_EXFAT_IF_ASKED(exfatMount, f.appDir.path());
    QVERIFY(writeFile(f.appPath(Exe), OldBytes));
    const auto before = QFileDevice::Permissions(0x7555); // 0755
    QVERIFY(QFile::setPermissions(f.appPath(Exe), before));
    const QFileDevice::Permissions oldPermissions = QFile::permissions(f.appPath(Exe));
    const QByteArray program = recorderProgram();
    // Hosts move files: a redirect on the same server is followed.
    TestHttpServer::Response moved = TestHttpServer::status(301, "Moved Permanently");
    moved.headers = {{"Location", "/moved/" + Newer}};
    f.server.setResponse(NewerPath, moved);
    f.server.setResponse("/moved/" + Newer, TestHttpServer::ok(program));
    if (backupTaken)
        QVERIFY(writeFile(f.appPath(Identity), "an earlier backup"));

    QString error;
    QVERIFY2(f.run(f.target(), &error), qPrintable(error));

    // The old program is kept whole under a name of its own; nothing that was there is lost.
    QCOMPARE(readFile(f.appPath(Exe)), program);
    QCOMPARE(readFile(f.appPath(Identity)), backupTaken ? QByteArray("an earlier backup") : OldBytes);
    if (backupTaken)
        QCOMPARE(readFile(f.appPath(SecondBackup)), OldBytes);
    QCOMPARE(QFile::permissions(f.appPath(Exe)), oldPermissions);
    // Downloaded once. Qt may send a request again by itself when its connection
    // closed at once (seen under Wine), so count the build's bytes, not requests.
    QCOMPARE(f.server.bodyBytesSent("/moved/" + Newer), qint64(program.size()));

    // The new program ran with no arguments, in the caller's working directory.
    QCOMPARE(startRecord(f.appDir.path()), "arguments 0\ncwd " + QDir::currentPath().toUtf8() + '\n');
    QStringList expected{Identity, Exe, Record, Hashes, "started.txt", "starts.txt"};
    if (backupTaken)
        expected << SecondBackup;
    expected.sort();
    QCOMPARE(folderFiles(f.appDir.path()), expected);
}

void EngineTest::failedDownloads_data()
{
    QTest::addColumn<TestHttpServer::Response>("response");
    QTest::addColumn<QString>("reason");

    const QByteArray program = recorderProgram();
    QTest::newRow("404") << TestHttpServer::status(404, "Not Found", program)
                         << "The server answered 404 Not Found.";
    QTest::newRow("500") << TestHttpServer::status(500, "Internal Server Error", program)
                         << "The server answered 500 Internal Server Error.";
    QTest::newRow("truncated") << truncated(program, program.size() / 2) << "";
    QTest::newRow("empty 200") << TestHttpServer::ok({}) << "The server sent an empty file.";
    QTest::newRow("206 instead of 200") << TestHttpServer::status(206, "Partial Content", program)
                                        << "The server answered 206 instead of 200.";

    TestHttpServer::Response stall = TestHttpServer::ok(program);
    stall.mode = TestHttpServer::Response::Mode::Stall;
    QTest::newRow("stall") << stall << "No complete answer came from the server within 0.5 seconds.";
    QTest::newRow("stall midway") << TestHttpServer::dripped(program, 4096, 5000)
                                  << "The server stopped sending for 0.5 seconds.";
    // A byte every 100 ms never trips the silence timeout; the rate floor (1 KiB/s
    // over 1.5 s here) ends it.
    QTest::newRow("trickle") << TestHttpServer::dripped(program, 1, 100)
                             << "The transfer was slower than 1 KiB/s for 1.5 seconds, so it was given up.";
    // Judged window by window: a fast start does not pay for a trickle after it.
    TestHttpServer::Response fastThenTrickle = TestHttpServer::dripped(program, 1, 100);
    fastThenTrickle.sentAtOnce = program.size() / 2;
    QTest::newRow("fast start, then a trickle") << fastThenTrickle
        << "The transfer was slower than 1 KiB/s for 1.5 seconds, so it was given up.";

    // Complete chunked framing, yet shorter than the length the server announced.
    TestHttpServer::Response shortChunked = TestHttpServer::ok(program.left(50));
    shortChunked.chunked = true;
    shortChunked.contentLength = false;
    shortChunked.headers = {{"Content-Length", "100"}};
    QTest::newRow("50 bytes chunked under Content-Length 100")
        << shortChunked << "The transfer ended after 50 of 100 bytes.";
    TestHttpServer::Response longChunked = shortChunked;
    longChunked.body = program.left(200);
    QTest::newRow("200 bytes chunked under Content-Length 100: no more than 100 written")
        << longChunked << "The server sent more than the 100 bytes it announced.";
    // Announced before a byte is written: a build larger than the drive's free room.
    TestHttpServer::Response huge = TestHttpServer::ok(program);
    huge.contentLength = false;
    huge.headers = {{"Content-Length", QByteArray::number(Q_INT64_C(1) << 50)}};
    QTest::newRow("larger than the drive's free room")
        << huge << "The build is 1.00 PiB, but the drive that holds the program has only …";

    // Bodies whose end cannot be told from a cut.
    const QString noLength =
        "The server did not say how long the file is, so a file cut short could not be told from a whole one.";
    TestHttpServer::Response closeDelimited = TestHttpServer::ok(program);
    closeDelimited.contentLength = false;
    QTest::newRow("no length: ends when the connection closes") << closeDelimited << noLength;
    TestHttpServer::Response chunked = closeDelimited;
    chunked.chunked = true;
    QTest::newRow("chunked without a length") << chunked << noLength;
    TestHttpServer::Response unparsable = closeDelimited;
    unparsable.headers = {{"Content-Length", QByteArray::number(program.size()) + "x"}};
    QTest::newRow("unparsable Content-Length") << unparsable << "";
    TestHttpServer::Response twoLengths = TestHttpServer::ok(program);
    twoLengths.headers = {{"Content-Length", QByteArray::number(program.size() * 2)}};
    QTest::newRow("two Content-Lengths that disagree") << twoLengths << "";
    TestHttpServer::Response gzip = TestHttpServer::ok(program);
    gzip.headers = {{"Content-Encoding", "gzip"}};
    QTest::newRow("gzip-encoded") << gzip
                                  << "The server sent the file encoded (gzip) although it was asked not to.";
}

// Nothing changes but a failure report; the next try succeeds.
void EngineTest::failedDownloads()
{
    QFETCH(TestHttpServer::Response, response);
    QFETCH(QString, reason);

    EngineFixture f;
    f.server.setResponse(NewerPath, response);
    Tarvino::UpdateTarget target = f.target(500);
    target.minimumRate.window = std::chrono::milliseconds(1500);
    QString error;
    QVERIFY(!f.run(target, &error));
    QVERIFY(!error.isEmpty());
    if (reason.endsWith(u'…'))
        QVERIFY2(error.startsWith(reason.chopped(1)), qPrintable(error));
    else if (!reason.isEmpty())
        QCOMPARE(error, reason);
    QCOMPARE(readFile(f.appPath(Exe)), OldBytes);
    QCOMPARE(folderFiles(f.appDir.path()), QStringList{Exe});

    f.server.setResponse(NewerPath, TestHttpServer::ok(recorderProgram()));
    QVERIFY2(f.run(f.target(500), &error), qPrintable(error));
    QCOMPARE(readFile(f.appPath(Exe)), recorderProgram());
    QCOMPARE(readFile(f.appPath(Identity)), OldBytes);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(f.appPath("started.txt")), 10000);
}

void EngineTest::brokenDownloadsAreContinued_data()
{
    QTest::addColumn<TestHttpServer::Response>("response");
    QTest::addColumn<QString>("rangeAsked"); // the second request's Range: "rest", or "" for none
    QTest::addColumn<qint64>("sentInAll");   // bytes of body sent in all; -1: not counted
    QTest::addColumn<QString>("error");      // the failure's beginning; empty: installed

    const QByteArray program = recorderProgram();
    TestHttpServer::Response cut = TestHttpServer::ok(program);
    cut.mode = TestHttpServer::Response::Mode::Truncate;
    cut.truncateAt = program.size() / 2;
    cut.cutRequests = 1;
    cut.ranges = true;
    cut.headers = {{"ETag", "\"v1\""}};
    const qint64 once = program.size();             // half, then the rest
    const qint64 again = cut.truncateAt + once;    // half, then the whole
    QTest::newRow("cut at half, then continued: 206") << cut << "rest" << once << QString();
    const auto httpDate = [](const QDateTime &when) {
        return QLocale::c().toString(when.toUTC(), u"ddd, dd MMM yyyy hh:mm:ss 'GMT'").toLatin1();
    };
    const QDateTime now = QDateTime::currentDateTimeUtc();
    TestHttpServer::Response dated = cut;
    dated.headers = {{"Last-Modified", httpDate(now.addSecs(-3600))}, {"Date", httpDate(now)}};
    QTest::newRow("Last-Modified an hour before the answer as the validator") << dated << "rest" << once << QString();
    // A file changed twice within a second keeps its date: too recent a date names no bytes.
    TestHttpServer::Response recent = cut;
    recent.headers = {{"Last-Modified", httpDate(now.addSecs(-10))}, {"Date", httpDate(now)}};
    QTest::newRow("Last-Modified seconds before the answer: begun again") << recent << "" << again << QString();
    TestHttpServer::Response undated = cut;
    undated.headers = {{"Last-Modified", httpDate(now.addSecs(-3600))}};
    QTest::newRow("Last-Modified without the answer's date: begun again") << undated << "" << again << QString();
    // Only the published bytes: a 206 that is not exactly the rest of the same file is
    // not taken, and the file is begun again from its first byte.
    TestHttpServer::Response longer = cut;
    longer.rangeLengthShift = 4096;
    QTest::newRow("206 with 4096 bytes past the rest: begun again") << longer << "rest" << qint64(-1) << QString();
    TestHttpServer::Response shorter = cut;
    shorter.rangeLengthShift = -(program.size() - cut.truncateAt) / 2;
    QTest::newRow("206 with half the rest: begun again") << shorter << "rest" << qint64(-1) << QString();
    TestHttpServer::Response multipart = cut;
    multipart.headers.append({QByteArray("Content-Type"), QByteArray("multipart/byteranges; boundary=THIS")});
    QTest::newRow("206 as multipart/byteranges: begun again") << multipart << "rest" << qint64(-1) << QString();
    TestHttpServer::Response otherVersion = cut;
    otherVersion.rangeETag = "\"v2\"";
    QTest::newRow("206 naming another ETag (If-Range ignored): begun again") << otherVersion << "rest" << qint64(-1)
                                                                            << QString();

    TestHttpServer::Response ignores = cut;
    ignores.ranges = false;
    QTest::newRow("the server ignores Range: begun again from byte 0 (200)") << ignores << "rest" << again << QString();
    TestHttpServer::Response weak = cut;
    weak.headers = {{"ETag", "W/\"v1\""}};
    QTest::newRow("only a weak ETag: no range asked, begun again") << weak << "" << again << QString();
    TestHttpServer::Response shifted = cut;
    shifted.rangeStartShift = 1;
    QTest::newRow("206 at the wrong offset: begun again") << shifted << "rest" << qint64(-1) << QString();
    TestHttpServer::Response otherTotal = cut;
    otherTotal.rangeTotalShift = 1;
    QTest::newRow("206 with another total: begun again") << otherTotal << "rest" << qint64(-1) << QString();
    TestHttpServer::Response everyTime = cut;
    everyTime.cutRequests = -1;
    everyTime.truncateAt = program.size() / 8;
    // However Qt words the break ("Connection closed", or a body shorter than announced).
    QTest::newRow("cut every time: given up after the retries") << everyTime << "rest" << qint64(-1) << "…";
    // What came is kept while the server is busy for a moment.
    TestHttpServer::Response busy = cut;
    busy.busyAfterCut = 1;
    QTest::newRow("a 503 while continuing: kept, and continued") << busy << "rest" << qint64(-1) << QString();
    // Two in a row: more than Qt sends again by itself.
    TestHttpServer::Response reset = busy;
    reset.busyResets = true;
    reset.busyAfterCut = 2;
    QTest::newRow("a reset connection while continuing: kept, and continued") << reset << "rest" << qint64(-1)
                                                                             << QString();
    TestHttpServer::Response away = cut;
    away.awayAfterCut = true;
    QTest::newRow("a refused connection while continuing (the server restarts): kept, and continued")
        << away << "rest" << once << QString();
    // Tries that each bring a good part do not count: a link that drops often still finishes.
    TestHttpServer::Response flaky = cut;
    flaky.body = program + QByteArray(1536 * 1024, '\0');
    flaky.cutRequests = -1;
    flaky.truncateAt = 300 * 1024;
    QTest::newRow("a link that closes every 300 KiB: installed") << flaky << "rest" << qint64(-1) << QString();
    // A trickle is given up at the rate floor, and not tried again.
    TestHttpServer::Response trickle = TestHttpServer::dripped(program, 1, 100);
    trickle.headers = cut.headers;
    trickle.truncateAt = 0;
    QTest::newRow("a trickle: given up at once") << trickle << "" << qint64(-1) << "The transfer was slower than";
}

// Within one run: the rest is asked for, and only exactly the rest is taken.
void EngineTest::brokenDownloadsAreContinued()
{
    QFETCH(TestHttpServer::Response, response);
    QFETCH(QString, rangeAsked);
    QFETCH(qint64, sentInAll);
    QFETCH(QString, error);
    EngineFixture f;
    f.server.setResponse(NewerPath, response);
    Tarvino::UpdateTarget target = f.target();
    const bool trickle = response.mode == TestHttpServer::Response::Mode::Drip;
    if (trickle)
        target.minimumRate.window = std::chrono::milliseconds(500);
    Tarvino::Update update(f.manager, target);
    // Away from the cut until a try has met the closed port.
    const quint16 port = f.server.serverPort();
    int notices = 0;
    if (response.awayAfterCut) {
        connect(&update, &Tarvino::UpdateJob::notice, this, [&] {
            if (++notices == 1)
                f.server.close();
            else if (notices == 2)
                QVERIFY(f.server.listen(QHostAddress::LocalHost, port));
        });
    }
    QString message;
    QCOMPARE(f.run(update, &message), error.isEmpty());
    QVERIFY2(error == u"…" || message.startsWith(error), qPrintable(message));
    QCOMPARE(readFile(f.appPath(Exe)), error.isEmpty() ? response.body : OldBytes);
    if (response.awayAfterCut)
        QVERIFY2(notices == 2 && f.notices.at(1).contains("refused"), qPrintable(f.notices.join(u'|')));
    // Qt itself may send a request again once, whole, when a connection closes
    // at once: the first request for a range is the updater's.
    const QList<QByteArray> ranges = f.server.requestedRanges();
    QCOMPARE(ranges.at(0), QByteArray());
    const auto ranged = std::find_if(ranges.cbegin(), ranges.cend(), [](const QByteArray &r) { return !r.isEmpty(); });
    QCOMPARE(ranged == ranges.cend() ? QByteArray() : *ranged,
             rangeAsked.isEmpty() ? QByteArray() : "bytes=" + QByteArray::number(response.truncateAt) + '-');
    // The request for the rest that met a busy server is asked again.
    if (response.busyAfterCut > 0)
        QVERIFY2(ranges.count(*ranged) >= 2, ranges.join(' ').constData());
    // The bytes on the wire: only the rest, once the server takes ranges (and
    // whatever Qt sent again on its own, counted by the requests made).
    if (sentInAll > 0 && error.isEmpty() && ranges.size() == f.server.requestCount(NewerPath)
        && ranges.count(QByteArray()) == 1) {
        QCOMPARE(f.server.bodyBytesSent(NewerPath), sentInAll);
    }
    // The window says that it tries again, and how much is here already; a
    // try that brought a good part is not counted.
    if (trickle) {
        QVERIFY2(f.notices.isEmpty(), qPrintable(f.notices.join(u'|')));
        return;
    }
    const bool productive = response.truncateAt >= 256 * 1024;
    const QString first = productive ? "Trying again in 0.01 s;" : "Trying again in 0.01 s (1 of 2);";
    QVERIFY2(!f.notices.isEmpty() && f.notices.constFirst().contains(first), qPrintable(f.notices.join(u'|')));
    // Exactly as many tries as allowed, however many tries brought little.
    if (error == u"…")
        QCOMPARE(f.notices.size(), 2);
}

void EngineTest::partialFromAnEarlierRun_data()
{
    QTest::addColumn<QString>("left");    // what the earlier run left
    QTest::addColumn<bool>("continued");  // the next run asks for the rest
    QTest::addColumn<bool>("wholeAgain"); // the server sends the whole file again
    QTest::newRow("a partial and its record from a killed run: continued") << "killed" << true << false;
    // Recorded every 4 MiB after the first bytes: what a kill leaves is at most 4 MiB behind.
    QTest::newRow("a run killed after 10 MiB: continued from at least 6 MiB") << "killed after 10 MiB" << true << false;
    QTest::newRow("a run that broke off keeps its partial for the next: continued") << "broke off" << true << false;
    QTest::newRow("the file changed on the server since: begun again") << "other validator" << true << true;
    QTest::newRow("another build's partial: removed") << "other build" << false << false;
    QTest::newRow("a record that does not parse: removed") << "garbage" << false << false;
    QTest::newRow("a record that claims past the total: removed") << "past the total" << false << false;
    QTest::newRow("a partial shorter than its record: removed") << "short" << false << false;
    QTest::newRow("a record whose total no drive holds: removed") << "huge total" << false << false;
#ifndef Q_OS_WIN
    // A name of the updater's that leads elsewhere goes as a name; what it leads to is never written.
    QTest::newRow("a partial that is a second name of a file elsewhere: removed") << "hard link" << false << false;
    QTest::newRow("a partial that is a symbolic link: removed") << "symbolic link" << false << false;
    QTest::newRow("a record that is a symbolic link: removed") << "linked record" << false << false;
#endif
}

// Across runs: only a partial whose record matches what is offered now is continued.
void EngineTest::partialFromAnEarlierRun()
{
    QFETCH(QString, left);
    QFETCH(bool, continued);
    QFETCH(bool, wholeAgain);
    EngineFixture f;
    const bool live = left == u"killed after 10 MiB";
    const QByteArray program = recorderProgram() + (live ? QByteArray(24 << 20, '\x11') : QByteArray());
    qint64 half = program.size() / 2;
    const Tarvino::UpdateTarget target = f.target();
    TestHttpServer::Response served = TestHttpServer::ok(program);
    served.ranges = true;
    served.headers = {{"ETag", "\"v1\""}};
    const QString partial = f.appPath(Tarvino::StagingFile::prefix(Exe) + "0badf00d");
    Tarvino::PartialRecord record{target.signedName, target.buildUrl.toString(), "\"v1\"", program.size(), half};
    if (left == u"other validator")
        record.validator = "\"v0\"";
    if (left == u"other build")
        record.url += ".old";
    if (left == u"past the total")
        record.have = record.total + 1;
    if (left == u"huge total")
        record.total = Q_INT64_C(1) << 62;
    if (live) {
        // The folder as a kill after 10 MiB leaves it: taken while the run waits on the server, then stopped.
        TestHttpServer::Response slow = TestHttpServer::dripped(program, 1, 1000);
        slow.sentAtOnce = 10 << 20;
        slow.headers = served.headers;
        f.server.setResponse(NewerPath, slow);
        Tarvino::Update update(f.manager, target);
        QTemporaryDir snapshot;
        QStringList taken;
        connect(&update, &Tarvino::UpdateJob::progress, this, [&](qint64 have) {
            if (have < (10 << 20) || !taken.isEmpty())
                return;
            taken = folderFiles(f.appDir.path()).filter(Tarvino::StagingFile::prefix(Exe));
            for (const QString &name : std::as_const(taken))
                QFile::copy(f.appPath(name), snapshot.filePath(name));
            update.cancel();
        });
        QVERIFY(!f.run(update));
        QCOMPARE(taken.size(), 2);
        for (const QString &name : std::as_const(taken)) {
            QFile::remove(f.appPath(name));
            QVERIFY(QFile::copy(snapshot.filePath(name), f.appPath(name)));
        }
        const QString kept = f.appPath(taken.filter(QRegularExpression("\\.resume$")).value(0).chopped(7));
        QVERIFY(Tarvino::PartialRecord::read(kept, &record));
        QVERIFY2(record.have >= (6 << 20), qPrintable(QString::number(record.have)));
        half = record.have;
    } else if (left == u"broke off") {
        TestHttpServer::Response cut = served;
        cut.mode = TestHttpServer::Response::Mode::Truncate;
        cut.truncateAt = half;
        cut.ranges = false;
        f.server.setResponse(NewerPath, cut);
        QVERIFY(!f.run(target));
        // A connection closed by the server may lose what was still in flight: the
        // record says what arrived, and the next run asks for the rest of exactly that.
        const QStringList kept = folderFiles(f.appDir.path()).filter(QRegularExpression("\\.resume$"));
        QCOMPARE(kept.size(), 1);
        QVERIFY(Tarvino::PartialRecord::read(f.appPath(kept.constFirst().chopped(7)), &record));
        QVERIFY2(record.have > 0 && record.have <= half, qPrintable(QString::number(record.have)));
        half = record.have;
    } else {
        QVERIFY(writeFile(partial, program.left(left == u"short" ? half - 10 : half)));
        QVERIFY(writeFile(Tarvino::PartialRecord::pathFor(partial), left == u"garbage" ? "garbage\n" : record.toText()));
    }
    QTemporaryDir elsewhere;
    const QString outside = elsewhere.filePath("a file of the user's");
#ifndef Q_OS_WIN
    if (left.contains(u"link")) {
        const QString linked = left == u"linked record" ? Tarvino::PartialRecord::pathFor(partial) : partial;
        QVERIFY(QFile::rename(linked, outside));
        QVERIFY(left == u"hard link" ? ::link(QFile::encodeName(outside), QFile::encodeName(linked)) == 0
                                     : QFile::link(outside, linked));
    }
#endif
    const QByteArray outsideBefore = readFile(outside);
    const QStringList partials = folderFiles(f.appDir.path()).filter(Tarvino::StagingFile::prefix(Exe));
    QCOMPARE(partials.size(), 2);

    // The next start, as the window makes it: recovery, then what the check offers claims its partial.
    QVERIFY(Tarvino::recoverInterruptedUpdate(f.appDir.path() + u'/', Exe));
    Tarvino::StagingFile::discardUnclaimed(f.appDir.path() + u'/', Exe, target.buildUrl.toString());
    QCOMPARE(folderFiles(f.appDir.path()).filter(Tarvino::StagingFile::prefix(Exe)),
             continued ? partials : QStringList());
    f.server.setResponse(NewerPath, served);
    const qint64 sentBefore = f.server.bodyBytesSent(NewerPath);
    const int requestsBefore = f.server.requestedRanges().size();
    QString error;
    QVERIFY2(f.run(target, &error), qPrintable(error));
    QCOMPARE(readFile(f.appPath(Exe)), program);
    const QByteArray asked = f.server.requestedRanges().value(requestsBefore);
    QCOMPARE(asked, continued ? "bytes=" + QByteArray::number(half) + '-' : QByteArray());
    if (f.server.requestedRanges().size() == requestsBefore + 1) {
        QCOMPARE(f.server.bodyBytesSent(NewerPath) - sentBefore, continued && !wholeAgain ? program.size() - half
                                                                                          : program.size());
    }
    QCOMPARE(folderFilesOfTheUpdate(f.appDir.path()), QStringList({Identity, Exe}));
    QCOMPARE(readFile(outside), outsideBefore);
}

void EngineTest::newBuildIsWatched_data()
{
    QTest::addColumn<QByteArray>("build");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<bool>("backupTaken");
    QTest::addColumn<bool>("undoFails");
    QTest::addColumn<QString>("why"); // how the message says it, after "could not run on this computer: "
    const QByteArray recorder = recorderProgram();
    const auto ending = [&recorder](const char *text) { return recorder + '\0' + text; };
    const auto status = &endedWith;
#ifdef Q_OS_WIN
    const QString aborted = status(3);
#else
    const QString aborted = "it was ended by signal 6 (Aborted)";
#endif
    const QByteArray exits3 = ending("exit 3");
    QTest::newRow("keeps running: kept") << ending("stay") << true << false << false << QString();
    QTest::newRow("ends at once with status 3: undone") << exits3 << false << false << false << status(3);
    QTest::newRow("ends with status 3 after half a second: undone")
        << ending("exit 3 after 500") << false << false << false << status(3);
    QTest::newRow("ends with status 127: said as it is") << ending("exit 127") << false << false << false
                                                         << status(127);
    QTest::newRow("ended by a signal: undone") << ending("abort") << false << false << false << aborted;
    QTest::newRow("status 3, backup name taken: the earlier backup stays")
        << exits3 << false << true << false << status(3);
    // The system's own reason follows, whatever it is on this system.
    QTest::newRow("not a program at all: undone")
        << QByteArray("not a program at all") << false << false << false << "it could not be started: ";
#ifdef Q_OS_WIN
    QTest::newRow("needs a DLL that is not there: undone")
        << readFile(TARVINO_NEEDS_DLL) << false << false << false << status(int(0xc0000135));
#endif
    QTest::newRow("every rename of the undo fails: the next start puts it back")
        << exits3 << false << false << true << status(3);
}

// The new program is watched for a while: one that cannot run here is undone,
// and the previous one is put back and started.
void EngineTest::newBuildIsWatched()
{
    QFETCH(QByteArray, build);
    QFETCH(bool, kept);
    QFETCH(bool, backupTaken);
    QFETCH(bool, undoFails);
    QFETCH(QString, why);
    EngineFixture f;
    const QByteArray old = recorderProgram() + QByteArray("\0old", 4);
    QVERIFY(writeFile(f.appPath(Exe), old));
    QVERIFY(QFile::setPermissions(f.appPath(Exe), QFile::permissions(f.appPath(Exe)) | QFileDevice::ExeOwner));
    f.server.setResponse(NewerPath, TestHttpServer::ok(build));
    if (backupTaken)
        QVERIFY(writeFile(f.appPath(Identity), "an earlier backup"));
    auto clearHook = qScopeGuard([] { Tarvino::setFileStepHook({}); });
    auto stop = qScopeGuard([&] { writeFile(f.appPath("stop"), {}); });
    if (undoFails) {
        // The swap's rename is the first onto the program's name; the undo's come after it.
        Tarvino::setFileStepHook([&, renames = 0](const char *step, const QString &path) mutable {
            return qstrcmp(step, "rename") == 0 && path == f.appPath(Exe) && ++renames > 1 ? EACCES : 0;
        });
    }
    Tarvino::UpdateTarget target = f.target();
    target.healthCheckTime = std::chrono::milliseconds(1000);

    QString error;
    QCOMPARE(f.run(target, &error), kept);
    Tarvino::setFileStepHook({});
    if (kept) {
        QCOMPARE(readFile(f.appPath(Exe)), build);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(f.appPath("started.txt")), 10000);
        QVERIFY(!QFile::exists(f.appPath(Journal)));
        // Let it end, so that its folder can be removed (Windows keeps a running program's file).
        QVERIFY(writeFile(f.appPath("stop"), {}));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(f.appPath("stopped.txt")), 10000);
        return;
    }
    QVERIFY2(error.startsWith("The new version could not run on this computer: " + why), qPrintable(error));
    QVERIFY2(why.endsWith(u' ') || error.at(48 + why.size()) == u'.', qPrintable(error));
    if (undoFails) {
        QVERIFY2(error.endsWith("It will be put back when the updater next starts."), qPrintable(error));
        QVERIFY(QFile::exists(f.appPath(Journal)));
        QVERIFY(Tarvino::recoverInterruptedUpdate(f.appDir.path() + u'/', Exe));
    } else {
        QVERIFY2(error.endsWith(". The previous version was restored."), qPrintable(error));
        // The previous version was started again, with no arguments.
        const QByteArray record = startRecord(f.appDir.path());
        QVERIFY2(record.startsWith("arguments 0\n"), record.constData());
    }
    QCOMPARE(readFile(f.appPath(Exe)), old);
    QStringList expected{Exe};
    if (backupTaken) {
        QCOMPARE(readFile(f.appPath(Identity)), QByteArray("an earlier backup"));
        expected.prepend(Identity);
    }
    QCOMPARE(folderFilesOfTheUpdate(f.appDir.path()), expected);
}

void EngineTest::injectedErrors_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("backupTaken");
    QTest::addColumn<bool>("startable");
    QTest::addColumn<bool>("linksWork");
#ifdef Q_OS_WIN
    // Not ERROR_ACCESS_DENIED nor a sharing violation: the first moves a running
    // program aside, the second is waited out; both are tested on their own.
    const std::pair<const char *, int> errors[] = {{"ERROR_DISK_FULL", 112},
                                                   {"ERROR_CRC", 23},
                                                   {"ERROR_NOT_SAME_DEVICE", 17},
                                                   {"ERROR_WRITE_PROTECT", 19},
                                                   {"ERROR_UNEXP_NET_ERR", 59}};
#else
    const std::pair<const char *, int> errors[] = {
        {"ENOSPC", ENOSPC}, {"EIO", EIO}, {"EXDEV", EXDEV}, {"EBUSY", EBUSY}, {"EACCES", EACCES}};
#endif
    for (const auto &[name, error] : errors) {
        for (const bool backupTaken : {false, true}) {
            QTest::addRow("%s, backup name %s", name, backupTaken ? "taken" : "free")
                << error << backupTaken << true << true;
        }
        QTest::addRow("%s, a new build that cannot start", name) << error << false << false << true;
        // As on FAT and exFAT: the old bytes are kept by a copy.
        QTest::addRow("%s, a drive without hard links", name) << error << false << true << false;
    }
}

// Each file-system step of an update fails in turn: the update reports it and
// leaves the old program, or it succeeds; either way the next start leaves a
// clean folder with a whole program.
void EngineTest::injectedErrors()
{
    QFETCH(int, error);
    QFETCH(bool, backupTaken);
    QFETCH(bool, startable);
    QFETCH(bool, linksWork);
    const QByteArray build = startable ? recorderProgram() : QByteArray("not a program at all");
    const QByteArray earlierBackup = "an earlier backup";
    auto clearHook = qScopeGuard([] { Tarvino::setFileStepHook({}); });

    int failingStep = 1;
    for (bool reached = true; reached; ++failingStep) {
        reached = false;
        int steps = 0;
        QString failedStep;
        bool committing = false;
        bool failedAfterCommit = false;
        Tarvino::setFileStepHook([&](const char *step, const QString &path) {
            if (!linksWork && qstrcmp(step, "link") == 0)
                return NoHardLinks;
            if (qstrcmp(step, "hash") == 0) // a read, which changes nothing
                return 0;
            const bool afterCommit = committing;
            committing = committing || (qstrcmp(step, "unlink") == 0 && path.endsWith(Journal));
            if (++steps != failingStep)
                return 0;
            reached = true;
            failedStep = QString::fromLatin1(step);
            failedAfterCommit = afterCommit;
            return error;
        });
        EngineFixture f;
        if (backupTaken)
            QVERIFY(writeFile(f.appPath(Identity), earlierBackup));
        f.server.setResponse(NewerPath, TestHttpServer::ok(build));
        QString message;
        const bool updated = f.run(f.target(), &message);
        Tarvino::setFileStepHook({});
        const QString where = QStringLiteral("step %1 (%2): %3").arg(failingStep).arg(failedStep, message);

        const QByteArray exe = readFile(f.appPath(Exe));
        QVERIFY2(exe == OldBytes || exe == build, qPrintable(where));
        QVERIFY2(!updated || exe == build, qPrintable(where));
        // Up to the commit, every step counts: a swap whose folder flush failed is no update.
        QVERIFY2(!updated || !reached || failedAfterCommit, qPrintable(where));
        QVERIFY2(updated || !message.isEmpty(), qPrintable(where));
        // Where the new program ran, let it finish writing beside itself.
        if (updated || message.startsWith("The new version runs"))
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(f.appPath("started.txt")), 10000);

        // The next start; on Windows a program that still runs cannot be replaced,
        // so it is the start after the program has ended.
        QTRY_VERIFY_WITH_TIMEOUT(Tarvino::recoverInterruptedUpdate(f.appDir.path() + u'/', Exe), 10000);
        // A failed update never stays, a good one always does, and so does one
        // whose program ran but whose commit is left to the next start.
        const bool completedLater = message.endsWith("will be completed when the updater next starts.");
        checkFolderAfterNextStart(f.appDir.path(), build, backupTaken ? earlierBackup : QByteArray(),
                                  updated || completedLater, where);
        if (QTest::currentTestFailed())
            return;
    }
    const int failedSteps = failingStep - 2;
    qInfo("%d steps failed in turn", failedSteps);
    QVERIFY2(failedSteps >= UpdateSteps, qPrintable(QString::number(failedSteps)));
}

void EngineTest::releaseThatFails_data()
{
    QTest::addColumn<QString>("broken");  // which file is not as it should be
    QTest::addColumn<QString>("error");   // the message's beginning
    QTest::addColumn<bool>("restarted"); // the previous version was started again
    QTest::newRow("no manifest") << "manifest" << "The release's manifest could not be fetched: The server answered 404" << false;
    // Staged and backed up in this folder, the path would be longer than Windows allows.
    QTest::newRow("a folder too deep for a path of the release") << "deep"
        << "The release is not installed: " << false;
    QTest::newRow("a manifest that reaches outside the folder") << "path"
        << "The release's manifest is refused: ../evil.dll has a \".\" or \"..\" step." << false;
#ifndef Q_OS_WIN
    QTest::newRow("a folder of the release is a link in the folder") << "link"
        << "The release is not installed: " << false;
#endif
    QTest::newRow("a file cut at half is continued: installed") << "cut" << "" << true;
    QTest::newRow("a file cut at half, then sent whole again (200): installed") << "cut, then whole" << "" << true;
    // The user's own file, written while the release downloads, is kept, not lost.
    QTest::newRow("a file appears where the release adds one: kept in the backup") << "appears" << "" << true;
    // On Windows and exFAT both names are one file, which the release keeps.
    QTest::newRow("a library whose name changes case only: it stays") << "case" << "" << true;
    QTest::newRow("a file not as its manifest says") << "lib.dll"
        << "lib.dll of the release is not the file its manifest names." << false;
    // Found out among the release's files in the staging folder, before anything installed changed.
    QTest::newRow("an updater that cannot start") << "TarvinoUpdater"
        << "The new release's updater could not start on this computer: it ended with status 3. Nothing was changed."
        << false;
    QTest::newRow("an updater that never ends") << "TarvinoUpdater hangs"
        << "The new release's updater could not start on this computer: it did not end within 0.5 seconds. Nothing "
           "was changed." << false;
    QTest::newRow("a release without an updater") << "no updater"
        << "The release has no " + Tarvino::updaterProgramName() + '.' << false;
    QTest::newRow("a program that cannot run") << "program"
        << "The new version could not run on this computer: " + endedWith(3) + ". The previous version was restored."
        << true;
}

// Whatever fails, the folder is wholly the previous release again, and only
// where a new program or updater was started is the previous program started
// again; a file cut short is continued like a single build.
void EngineTest::releaseThatFails()
{
    QFETCH(QString, broken);
    QFETCH(QString, error);
    QFETCH(bool, restarted);
    EngineFixture f;
    const QByteArray old = recorderProgram() + QByteArray("\0old", 4);
    const QByteArray exits3 = recorderProgram() + QByteArray("\0exit 3", 7);
    const ReleaseFiles before{{Exe, old}, {broken == u"case" ? "Lib.dll" : "lib.dll", "lib 1"}};
    for (const auto &[path, bytes] : before)
        QVERIFY(writeFile(f.appPath(path), bytes));
    if (broken == u"case")
        QVERIFY(writeFile(f.appPath(Tarvino::Swap::RecordName), manifestText(Identity, before)));
    QVERIFY(QFile::setPermissions(f.appPath(Exe), QFile::permissions(f.appPath(Exe)) | QFileDevice::ExeOwner));
    const QString release = "Tarvino-6.11.0-20260101";
    ReleaseFiles files{{Exe, broken == u"program" ? exits3 : recorderProgram()},
                       {Tarvino::updaterProgramName(),
                        recorderProgram() + (broken == u"TarvinoUpdater" ? QByteArray("\0exit 3", 7)
                                             : broken == u"TarvinoUpdater hangs" ? QByteArray("\0exit 0 after 60000", 19)
                                                                                 : QByteArray("\0exit 0", 7))},
                       {"lib.dll", broken == u"case" ? "lib 1" : "lib 2"}};
    if (broken == u"no updater")
        files.removeAt(1);
    if (broken == u"appears")
        files.append({QStringLiteral("settings.ini"), QByteArray("the release's settings")});
    if (broken == u"path")
        files.append({QStringLiteral("../evil.dll"), QByteArray("evil")});
    if (broken == u"deep")
        files.append({QString(150, u'p'), QByteArray("a name the manifest allows")});
    // Nothing is written through a link, wherever it points.
    QTemporaryDir elsewhere;
    if (broken == u"link") {
        files.append({QStringLiteral("plugins/a.dll"), QByteArray("a")});
        QVERIFY(QFile::link(elsewhere.path(), f.appPath("plugins")));
    }
    serveRelease(f.server, release, files);
    const QByteArray folder = "/Windows/Releases/" + release.toUtf8() + '/';
    if (broken == u"manifest")
        f.server.setResponse(folder + "manifest.txt", TestHttpServer::status(404, "Not Found"));
    if (broken == u"lib.dll")
        f.server.setResponse(folder + "files/lib.dll", TestHttpServer::ok("lib 3"));
    if (broken.startsWith(u"cut")) {
        TestHttpServer::Response cut = TestHttpServer::ok(recorderProgram());
        cut.mode = TestHttpServer::Response::Mode::Truncate;
        cut.truncateAt = recorderProgram().size() / 2;
        cut.cutRequests = 1;
        cut.ranges = broken == u"cut";
        cut.headers = {{"ETag", "\"v1\""}};
        f.server.setResponse(folder + "files/" + QUrl::toPercentEncoding(Exe), cut);
    }

    Tarvino::ReleaseTarget target = f.releaseTarget(release);
    target.selfTestTime = std::chrono::milliseconds(500);
    const QString deep = QString(100, u'd');
    if (broken == u"deep") {
        QVERIFY(QDir(f.appDir.path()).mkdir(deep));
        target.appDir += deep + u'/';
    }
    Tarvino::ReleaseUpdate update(f.manager, target);
    if (broken == u"appears") {
        connect(&update, &Tarvino::UpdateJob::progress, this, [&f] {
            if (!QFileInfo::exists(f.appPath("settings.ini")))
                writeFile(f.appPath("settings.ini"), "the user's settings");
        });
    }
    QString message;
    QCOMPARE(f.run(update, &message), error.isEmpty());
    // Refused before a byte of it was fetched.
    if (broken == u"no updater" || broken == u"deep")
        QVERIFY(std::none_of(f.server.requestedPaths().cbegin(), f.server.requestedPaths().cend(),
                             [](const QByteArray &path) { return path.contains("/files/"); }));
    QVERIFY2(error.isEmpty() || message.startsWith(error), qPrintable(message));
    if (error.isEmpty()) {
        QCOMPARE(readFile(f.appPath(Exe)), recorderProgram());
        if (broken == u"case") {
            QCOMPARE(readFile(f.appPath("lib.dll")), QByteArray("lib 1"));
            return;
        }
        if (broken == u"appears") {
            QCOMPARE(readFile(f.appPath("settings.ini")), QByteArray("the release's settings"));
            QCOMPARE(readFile(f.appPath(Identity + "/settings.ini")), QByteArray("the user's settings"));
            QVERIFY2(f.notices.join(u' ').contains("appeared in the folder during the download"),
                     qPrintable(f.notices.join(u'|')));
            return;
        }
        // Only the rest was sent again (unless Qt sent a request again whole by itself).
        const QByteArray exePath = folder + "files/" + QUrl::toPercentEncoding(Exe);
        QVERIFY(f.server.requestedRanges().contains("bytes=" + QByteArray::number(recorderProgram().size() / 2) + '-'));
        if (f.server.requestCount(exePath) == 2)
            QCOMPARE(f.server.bodyBytesSent(exePath),
                     recorderProgram().size() + (broken == u"cut" ? 0 : recorderProgram().size() / 2));
        return;
    }
    QCOMPARE(update.launched(), restarted);
    for (const auto &[path, bytes] : before)
        QCOMPARE(readFile(f.appPath(path)), bytes);
    if (restarted)
        QVERIFY(startRecord(f.appDir.path()).startsWith("arguments 0\n"));
    QCOMPARE(folderTree(f.appDir.path()).filter(QRegularExpression("^(?!started\\.txt$|starts\\.txt$)")),
             broken == u"link"   ? QStringList({Exe, "lib.dll", "plugins/"})
             : broken == u"deep" ? QStringList({Exe, deep + u'/', "lib.dll"})
                                 : QStringList({Exe, "lib.dll"}));
    QCOMPARE(folderFiles(elsewhere.path()), QStringList());
}

// A release whose download broke off keeps what it fetched: the next run takes
// the whole files as they are and continues the one it stopped in.
// Each file-system step of a release failing in turn, from the first staged
// file to the commit: the folder is wholly the old release, or wholly the new
// one with the old kept, once the next start has recovered it.
void EngineTest::releaseFailingAtEachStep()
{
    auto clearHook = qScopeGuard([] { Tarvino::setFileStepHook({}); });
    const QByteArray updater = recorderProgram() + QByteArray("\0exit 0", 7);
    const ReleaseFiles before{
        {Exe, OldBytes}, {Tarvino::updaterProgramName(), updater}, {"lib.dll", "lib 1"}, {"old-only.dll", "gone"}};
    const ReleaseFiles after{{Exe, recorderProgram()},
                             {Tarvino::updaterProgramName(), updater},
                             {"lib.dll", "lib 2"},
                             {"plugins/new.dll", "new"}};
    const QString release = "Tarvino-6.11.0-20260101";
    int failingStep = 1;
    for (bool reached = true; reached; ++failingStep) {
        reached = false;
        int steps = 0;
        QString failedStep;
        Tarvino::setFileStepHook([&](const char *step, const QString &) {
            if (qstrcmp(step, "hash") == 0 || ++steps != failingStep)
                return 0;
            reached = true;
            failedStep = QString::fromLatin1(step);
            return EIO;
        });
        EngineFixture f;
        for (const auto &[path, bytes] : before)
            QVERIFY(writeFile(f.appPath(path), bytes));
        const QString updaterPath = f.appPath(Tarvino::updaterProgramName());
        QVERIFY(QFile::setPermissions(updaterPath, QFile::permissions(updaterPath) | QFileDevice::ExeOwner));
        QVERIFY(writeFile(f.appPath(Tarvino::Swap::RecordName), manifestText(Identity, before)));
        serveRelease(f.server, release, after);
        Tarvino::ReleaseUpdate update(f.manager, f.releaseTarget(release));
        QString message;
        const bool updated = f.run(update, &message);
        Tarvino::setFileStepHook({});
        const QString where = QStringLiteral("step %1 (%2): %3").arg(failingStep).arg(failedStep, message);
        QVERIFY2(updated || !message.isEmpty(), qPrintable(where));
        QVERIFY2(reached || updated, qPrintable(where)); // with no step failing, it installs
        if (update.launched())
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(f.appPath("started.txt")), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(Tarvino::recoverInterruptedUpdate(f.appDir.path() + u'/', Exe), 10000);
        Tarvino::Swap::discardUnclaimed(f.appDir.path() + u'/', Exe, QString());
        const bool isNew = readFile(f.appPath(Exe)) == recorderProgram();
        QVERIFY2(!updated || isNew, qPrintable(where));
        QStringList expected{Tarvino::Swap::RecordName};
        for (const auto &[path, bytes] : isNew ? after : before) {
            QVERIFY2(readFile(f.appPath(path)) == bytes, qPrintable(where + ": " + path));
            expected << path;
        }
        if (isNew)
            expected << "plugins/" << Identity + u'/' << Identity + '/' + Tarvino::Swap::RecordName
                     << Identity + "/lib.dll" << Identity + "/old-only.dll" << Identity + u'/' + Exe;
        expected.sort();
        const QStringList tree = folderTree(f.appDir.path()).filter(
            QRegularExpression("^(?!started\\.txt$|starts\\.txt$|\\.Tarvíno\\.exe\\.hashes$)"));
        QVERIFY2(tree == expected, qPrintable(where + "; left: " + tree.join(u", ")));
    }
    const int failedSteps = failingStep - 2;
    qInfo("%d steps failed in turn", failedSteps);
    // The kill loop's release less what its window's check adds (the hash notes, the
    // sweep) and what a changed updater adds there: 43 on Linux.
    QVERIFY2(failedSteps >= 40, qPrintable(QString::number(failedSteps)));
}

void EngineTest::releaseContinuedByTheNextRun_data()
{
    QTest::addColumn<bool>("killed");
    QTest::addColumn<bool>("linked"); // the kept file is then a link to a file elsewhere
    QTest::newRow("a file cut at half: the run keeps it") << false << false;
    // Recorded as it arrives, as a single build is: what a kill leaves is at most 4 MiB behind.
    QTest::newRow("a run killed after 10 MiB: continued from at least 6 MiB") << true << false;
#ifndef Q_OS_WIN
    // The link goes as a name; what it leads to is never written.
    QTest::newRow("a link at the kept file's name: fetched anew beside it") << false << true;
#endif
}

void EngineTest::releaseContinuedByTheNextRun()
{
    QFETCH(bool, killed);
    QFETCH(bool, linked);
    EngineFixture f;
    const QByteArray program = recorderProgram() + (killed ? QByteArray(24 << 20, '\x11') : QByteArray());
    const QString release = "Tarvino-6.11.0-20260101";
    const ReleaseFiles files{{"lib.dll", "lib 2"},
                             {Tarvino::updaterProgramName(), recorderProgram() + QByteArray("\0exit 0", 7)},
                             {Exe, program}};
    serveRelease(f.server, release, files);
    const QByteArray exePath = "/Windows/Releases/" + release.toUtf8() + "/files/" + QUrl::toPercentEncoding(Exe);
    TestHttpServer::Response cut = TestHttpServer::ok(program);
    cut.mode = TestHttpServer::Response::Mode::Truncate;
    cut.truncateAt = program.size() / 2;
    cut.headers = {{"ETag", "\"v1\""}};
    qint64 from = cut.truncateAt;
    if (killed) {
        cut = TestHttpServer::dripped(program, 1, 1000);
        cut.sentAtOnce = 10 << 20;
        cut.headers = {{"ETag", "\"v1\""}};
    }
    f.server.setResponse(exePath, cut);
    QStringList kept;
    {
        Tarvino::ReleaseUpdate update(f.manager, f.releaseTarget(release));
        // The staging folder as a kill after 10 MiB of the program leaves it: taken, then put back after the run.
        QTemporaryDir snapshot;
        connect(&update, &Tarvino::UpdateJob::progress, this, [&](qint64 have) {
            const QStringList staging = QDir(f.appDir.path()).entryList({".Tarvíno.exe.release-*"}, QDir::Dirs | QDir::Hidden);
            if (!killed || have < (10 << 20) || !kept.isEmpty() || staging.size() != 1)
                return;
            kept = staging;
            for (const QString &name : folderTree(f.appPath(staging.constFirst()))) {
                const QString path = f.appPath(staging.constFirst() + u'/' + name);
                QVERIFY(name.endsWith(u'/') ? QDir().mkpath(snapshot.filePath(name)) : QFile::copy(path, snapshot.filePath(name)));
            }
            update.cancel();
        });
        QVERIFY(!f.run(update));
        if (killed) {
            QCOMPARE(kept.size(), 1);
            QVERIFY(QDir(f.appPath(kept.constFirst())).removeRecursively());
            QVERIFY(QDir().rename(snapshot.path(), f.appPath(kept.constFirst())));
            Tarvino::PartialRecord record;
            QVERIFY(Tarvino::PartialRecord::read(f.appPath(kept.constFirst() + u'/' + Exe), &record));
            QVERIFY2(record.have >= (6 << 20), qPrintable(QString::number(record.have)));
            from = record.have;
        }
    }
    if (!killed)
        kept = QDir(f.appDir.path()).entryList({".Tarvíno.exe.release-*"}, QDir::Dirs | QDir::Hidden);
    QCOMPARE(kept.size(), 1);

    // The next start keeps it for the release on offer.
    QVERIFY(Tarvino::recoverInterruptedUpdate(f.appDir.path() + u'/', Exe));
    Tarvino::Swap::discardUnclaimed(f.appDir.path() + u'/', Exe, release);
    QCOMPARE(QDir(f.appDir.path()).entryList({".Tarvíno.exe.release-*"}, QDir::Dirs | QDir::Hidden), kept);
    QTemporaryDir elsewhere;
    const QString outside = elsewhere.filePath("a file of the user's");
    if (linked) {
        const QString staged = f.appPath(kept.constFirst() + u'/' + Exe);
        QVERIFY(QFile::rename(staged, outside) && QFile::link(outside, staged));
    }
    const QByteArray outsideBefore = readFile(outside);
    cut = TestHttpServer::ok(program);
    cut.headers = {{"ETag", "\"v1\""}};
    cut.ranges = true;
    f.server.setResponse(exePath, cut);
    const int requestsBefore = f.server.requestedPaths().size();
    const qint64 sentBefore = f.server.bodyBytesSent(exePath);
    Tarvino::ReleaseUpdate update(f.manager, f.releaseTarget(release));
    QString error;
    QVERIFY2(f.run(update, &error), qPrintable(error));
    QCOMPARE(readFile(f.appPath(Exe)), program);
    QCOMPARE(readFile(f.appPath("lib.dll")), QByteArray("lib 2"));
    const QList<QByteArray> later = f.server.requestedPaths().mid(requestsBefore);
    QVERIFY2(!later.contains("/Windows/Releases/" + release.toUtf8() + "/files/lib.dll"), later.join(' ').constData());
    // Every range asked is the rest of that one file (Qt may send a request again by itself).
    QList<QByteArray> ranges = f.server.requestedRanges().mid(requestsBefore);
    ranges.removeAll(QByteArray());
    const QByteArray rest = "bytes=" + QByteArray::number(from) + '-';
    QVERIFY2(linked || (!ranges.isEmpty() && ranges.count(rest) == ranges.size()), ranges.join(' ').constData());
    // Through a link nothing is continued: the whole file is sent again.
    QCOMPARE(readFile(outside), outsideBefore);
    if (linked)
        QVERIFY(f.server.bodyBytesSent(exePath) - sentBefore >= program.size());

    // Another release on offer: what was kept for this one goes.
    QVERIFY(QDir().mkdir(f.appPath(kept.constFirst())));
    QVERIFY(writeFile(f.appPath(kept.constFirst() + "/.release"), "Tarvino kept release 1\nrelease: " + release.toUtf8() + '\n'));
    Tarvino::Swap::discardUnclaimed(f.appDir.path() + u'/', Exe, "Tarvino-6.11.0-20260201");
    QVERIFY(!QFileInfo::exists(f.appPath(kept.constFirst())));
}

// Each release keeps the one before it in a folder; only the two newest stay.
void EngineTest::backupsOfTheTwoPreviousReleasesStay()
{
    EngineFixture f;
    QVERIFY(writeFile(f.appPath(Tarvino::Swap::RecordName), manifestText(Identity, {{Exe, OldBytes}})));
    // A folder of the user's own, named like a release, is no backup.
    const QString own = "Tarvino-6.9.0-20240101";
    QVERIFY(QDir(f.appDir.path()).mkdir(own) && writeFile(f.appPath(own + "/notes.txt"), "mine"));
    QString held = Identity;
    QStringList backups;
    for (const char *date : {"20260101", "20260201", "20260301", "20260401"}) {
        const QString release = QStringLiteral("Tarvino-6.11.0-") + date;
        serveRelease(f.server, release, {{Exe, recorderProgram() + date},
                                         {Tarvino::updaterProgramName(), recorderProgram() + QByteArray("\0exit 0", 7)}});
        Tarvino::ReleaseTarget target = f.releaseTarget(release);
        target.backupName = held;
        Tarvino::ReleaseUpdate update(f.manager, target);
        QString error;
        QVERIFY2(f.run(update, &error), qPrintable(error));
        backups << held;
        held = release;
    }
    const QStringList folders = QDir(f.appDir.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(folders, QStringList({backups.at(2), backups.at(3), own}));
    QCOMPARE(readFile(f.appPath(backups.at(3) + u'/' + Exe)), recorderProgram() + "20260301");
    QCOMPARE(readFile(f.appPath(own + "/notes.txt")), QByteArray("mine"));
}

// The release a folder's record names counts only while the program there is
// that release's, byte for byte: one of the same size put back by hand is not.
void EngineTest::theFolderHoldsItsReleaseWhileItsProgramIsThere()
{
    EngineFixture f;
    const QString release = "Tarvino-6.11.0-20260101";
    const QByteArray program = "the release's program";
    QVERIFY(writeFile(f.appPath(Tarvino::Swap::RecordName), manifestText(release, {{Exe, program}})));
    const QString dir = f.appDir.path() + u'/';
    QVERIFY(writeFile(f.appPath(Exe), program));
    QCOMPARE(Tarvino::installedIdentity(dir, Exe, Identity), release);
    QVERIFY(writeFile(f.appPath(Exe), QByteArray(program.size(), 'x')));
    QCOMPARE(Tarvino::installedIdentity(dir, Exe, Identity), Identity);
}

// Two builds that differ only in a byte in their middle are told apart, after
// an update, with the old one put back by hand, and once the record has noted
// the program as it was (a file rewritten in place with its old size and
// modification time is read again).
void EngineTest::theRecordKnowsAProgramByEveryByte()
{
    EngineFixture f;
    const qint64 size = 2 * 1024 * 1024 + 1;
    const QByteArray old = recorderProgram() + QByteArray(size - recorderProgram().size(), '\0');
    QByteArray build = old;
    build[1024 * 1024] = 'x';
    QVERIFY(writeFile(f.appPath(Exe), old));
    QVERIFY(QFile::setPermissions(f.appPath(Exe), QFile::permissions(f.appPath(Exe)) | QFileDevice::ExeOwner));
    f.server.setResponse(NewerPath, TestHttpServer::ok(build));
    QString error;
    QVERIFY2(f.run(f.target(), &error), qPrintable(error));
    const QString dir = f.appDir.path() + u'/';
    const QString installed = Tarvino::identityOfEntry(QString::fromLatin1(Newer));
    // The update read the new program once, before it took its name: the starts after it read nothing.
    int reads = 0;
    auto clearHook = qScopeGuard([] { Tarvino::setFileStepHook({}); });
    Tarvino::setFileStepHook([&reads](const char *step, const QString &) {
        reads += qstrcmp(step, "hash") == 0;
        return 0;
    });
    QCOMPARE(Tarvino::installedIdentity(dir, Exe, Identity, true), installed);
    QCOMPARE(Tarvino::installedIdentity(dir, Exe, Identity, true), installed);
    QCOMPARE(reads, 0);
    Tarvino::setFileStepHook({});

    // The old program put back in place, with the new one's size and modification time.
    QFile program(f.appPath(Exe));
    const QDateTime modified = QFileInfo(program).lastModified();
    QVERIFY(program.open(QIODevice::ReadWrite) && program.write(old) == size);
    QVERIFY(program.setFileTime(modified, QFileDevice::FileModificationTime));
    program.close();
    QCOMPARE(Tarvino::installedIdentity(dir, Exe, Identity, true), Identity);
    QCOMPARE(Tarvino::installedIdentity(dir, Exe, "Tarvino-6.10.1-20250101"), Identity);
}

#ifndef Q_OS_WIN
void EngineTest::linksAtTheUpdatersNames_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<bool>("release");
    QTest::newRow("a staging folder's name, before the run") << "staging" << true;
    QTest::newRow("a record's new name, during the run") << ".installed.new" << false;
    QTest::newRow("a partial's record's new name, during the run") << ".resume.new" << false;
    QTest::newRow("the journal's new name, during the run") << ".journal.new" << false;
    QTest::newRow("the journal's new name, during a release") << ".journal.new" << true;
}

// A link at a name the updater makes is removed as a name or refused: what it
// points to is never written, emptied or removed.
void EngineTest::linksAtTheUpdatersNames()
{
    QFETCH(QString, where);
    QFETCH(bool, release);
    EngineFixture f;
    QTemporaryDir elsewhere;
    const QString precious = elsewhere.filePath("precious");
    QVERIFY(writeFile(precious, "the user's own"));
    const QString name = "Tarvino-6.11.0-20260101";
    serveRelease(f.server, name, {{Exe, recorderProgram()},
                                   {Tarvino::updaterProgramName(), recorderProgram() + QByteArray("\0exit 0", 7)}});
    TestHttpServer::Response served = TestHttpServer::ok(recorderProgram());
    served.headers = {{"ETag", "\"v1\""}};
    f.server.setResponse(NewerPath, served);
    auto clearHook = qScopeGuard([] { Tarvino::setFileStepHook({}); });
    if (where == u"staging") {
        // What it points to even claims to hold this release's files.
        QVERIFY(writeFile(elsewhere.filePath(".release"), "Tarvino kept release 1\nrelease: " + name.toUtf8() + '\n'));
        QVERIFY(QFile::link(elsewhere.path(), f.appPath(Tarvino::Swap::stagingPrefix(Exe) + "0badf00d")));
        QVERIFY(Tarvino::recoverInterruptedUpdate(f.appDir.path() + u'/', Exe));
        Tarvino::Swap::discardUnclaimed(f.appDir.path() + u'/', Exe, name);
        QCOMPARE(folderFiles(f.appDir.path()), QStringList({Exe}));
    } else {
        Tarvino::setFileStepHook([&](const char *step, const QString &path) {
            if (qstrcmp(step, "open") == 0 && path.endsWith(where) && !QFileInfo(path).isSymLink())
                QFile::link(precious, path);
            return 0;
        });
    }
    // A partial's record is written when its download breaks off for good.
    if (where == u".resume.new") {
        served.mode = TestHttpServer::Response::Mode::Truncate;
        served.truncateAt = 1000;
        served.ranges = true;
        f.server.setResponse(NewerPath, served);
    }
    QString error;
    if (release) {
        Tarvino::ReleaseUpdate update(f.manager, f.releaseTarget(name));
        f.run(update, &error);
    } else {
        f.run(f.target(), &error);
    }
    Tarvino::setFileStepHook({});
    QCOMPARE(readFile(precious), QByteArray("the user's own"));
    QCOMPARE(folderFiles(elsewhere.path()), where == u"staging" ? QStringList({".release", "precious"})
                                                                : QStringList({"precious"}));
    const QByteArray program = readFile(f.appPath(Exe));
    QVERIFY2(program == OldBytes || program == recorderProgram(), qPrintable(error));
}
#endif

#ifdef Q_OS_LINUX
namespace {

// A library's version n: text-like bytes (compressible, as programs are), with
// a few bytes of its own every 4 KiB, so that two versions differ all along.
QByteArray libraryVersion(int n)
{
    QByteArray bytes;
    for (int i = 0; bytes.size() < 256 * 1024; ++i)
        bytes += "symbol_" + QByteArray::number(i * 7919 % 100003) + (i % 512 == 0 ? "@v" + QByteArray::number(n) : "") + ';';
    return bytes;
}

} // namespace

void EngineTest::smallerForms_data()
{
    QTest::addColumn<bool>("release");  // a file of a release, else a single build
    QTest::addColumn<int>("held");      // the version the folder holds (0 or 1; -1: one made by hand)
    QTest::addColumn<QStringList>("forms"); // served and listed: "patch 0", "patch 1", "zst"
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("taken"); // the form whose bytes are installed, or "whole"
    for (const bool release : {false, true}) {
        const char *kind = release ? "release: " : "build: ";
        const auto row = [kind](const char *name) -> QTestData & {
            return QTest::newRow(qPrintable(kind + QString::fromLatin1(name)));
        };
        row("a patch from the file the folder holds") << release << 1 << QStringList{"patch 1", "zst"} << "" << "patch 1";
        row("two versions behind: the patch from that version") << release << 0
            << QStringList{"patch 1", "patch 0", "zst"} << "" << "patch 0";
        row("a file replaced by hand: the compressed copy") << release << -1 << QStringList{"patch 1", "zst"} << ""
                                                           << "zst";
        row("a compressed copy only") << release << 1 << QStringList{"zst"} << "" << "zst";
        row("no list on the server: the file itself") << release << 1 << QStringList{} << "no list" << "whole";
        row("a corrupt patch: the compressed copy") << release << 1 << QStringList{"patch 1", "zst"} << "corrupt"
                                                   << "zst";
        row("a patch that is not the one listed: the compressed copy") << release << 1
            << QStringList{"patch 1", "zst"} << "not listed" << "zst";
        row("a patch the server lacks: the compressed copy") << release << 1 << QStringList{"patch 1", "zst"}
                                                            << "missing" << "zst";
        row("a patch and a compressed copy that give other bytes: the file itself") << release << 1
            << QStringList{"patch 1", "zst"} << "other bytes" << "whole";
        row("a patch cut at half: continued") << release << 1 << QStringList{"patch 1", "zst"} << "cut" << "patch 1";
        row("a patch broken off: kept, and continued by the next run") << release << 1
            << QStringList{"patch 1", "zst"} << "broke off" << "patch 1";
        row("a list naming a file the manifest does not: the file itself") << release << 1
            << QStringList{"patch 1", "zst"} << "path" << "whole";
        row("a list naming a form as large as the file: the file itself") << release << 1
            << QStringList{"patch 1", "zst"} << "size" << "whole";
    }
}

// Each file takes the smallest form that fits what the folder holds, falls
// back form by form in the same run, and installs exactly the published bytes.
void EngineTest::smallerForms()
{
    QFETCH(bool, release);
    QFETCH(int, held);
    QFETCH(QStringList, forms);
    QFETCH(QString, fault);
    QFETCH(QString, taken);
    EngineFixture f;
    const auto version = [release](int n) {
        return release ? libraryVersion(n) : recorderProgram() + QByteArray("\0v", 2) + QByteArray::number(n);
    };
    const QByteArray newest = version(2);
    const QString releaseName = "Tarvino-6.11.0-20260101";
    const QString path = release ? QStringLiteral("lib.dll") : QString::fromLatin1(Newer);
    const QString installed = release ? path : Exe;
    QVERIFY(writeFile(f.appPath(installed), held < 0 ? version(1) + "by hand" : version(held)));
    QVERIFY(QFile::setPermissions(f.appPath(installed), QFile::permissions(f.appPath(installed)) | QFileDevice::ExeOwner));
    const QByteArray folder = release ? "/Windows/Releases/" + releaseName.toUtf8() + '/' : QByteArray("/Windows/6.10.1/");
    const QByteArray wholePath = release ? folder + "files/lib.dll" : NewerPath;
    QByteArray manifest;
    if (release) {
        const ReleaseFiles files{{Exe, recorderProgram()}, {Tarvino::updaterProgramName(), recorderProgram() + QByteArray("\0exit 0", 7)},
                                 {path, newest}};
        for (const auto &[name, bytes] : files.mid(0, 2)) {
            QVERIFY(writeFile(f.appPath(name), bytes));
            QVERIFY(QFile::setPermissions(f.appPath(name), QFile::permissions(f.appPath(name)) | QFileDevice::ExeOwner));
        }
        serveRelease(f.server, releaseName, files);
    } else {
        manifest = "Tarvino release manifest 1\nrelease: " + Tarvino::identityOfEntry(path).toUtf8() + '\n'
            + QCryptographicHash::hash(newest, QCryptographicHash::Sha256).toHex() + ' '
            + QByteArray::number(newest.size()) + " x " + path.toUtf8() + '\n';
        f.server.setResponse(BuildManifestPath, TestHttpServer::ok(manifest));
        f.server.setResponse(NewerPath, TestHttpServer::ok(newest));
    }
    QByteArray list = "Tarvino release patches 1\nrelease: "
        + (release ? releaseName : Tarvino::identityOfEntry(path)).toUtf8() + '\n';
    QHash<QString, QByteArray> formPaths;
    for (const QString &form : forms) {
        const QByteArray base = form == u"zst" ? QByteArray() : version(form.back().digitValue());
        const QByteArray made = zstdPacked(newest, base);
        QVERIFY(!made.isEmpty() && made.size() < newest.size());
        QByteArray listed = made;
        QByteArray served = made;
        const bool first = form == forms.constFirst();
        if (fault == u"corrupt" && first)
            listed = served = made.left(made.size() / 2) + QByteArray(64, 'x') + made.mid(made.size() / 2 + 64);
        if (fault == u"not listed" && first)
            served = zstdPacked(version(0), base);
        // Both decode, into bytes the manifest does not name.
        if (fault == u"other bytes")
            listed = served = zstdPacked(version(3), base);
        QByteArray line = serveForm(f.server, folder, path, newest, base, listed, served);
        if (fault == u"missing" && first)
            f.server.setResponse(folder + "patches/" + line.split(' ').at(1) + '/' + path.toUtf8() + ".zst",
                                 TestHttpServer::status(404, "Not Found"));
        if (fault == u"path" && !first)
            line.replace(' ' + path.toUtf8() + '\n', " ../" + path.toUtf8() + '\n');
        if (fault == u"size" && !first)
            line = line.left(line.lastIndexOf(' ', line.lastIndexOf(' ') - 1)) + ' ' + QByteArray::number(newest.size())
                + ' ' + path.toUtf8() + '\n';
        if ((fault == u"cut" || fault == u"broke off") && first) {
            TestHttpServer::Response cut = truncated(served, served.size() / 2);
            cut.cutRequests = 1;
            cut.ranges = true;
            // The server is away for the rest of the run.
            cut.busyAfterCut = fault == u"broke off" ? 100 : 0;
            cut.headers = {{"ETag", "\"p1\""}};
            f.server.setResponse(folder + (base.isEmpty() ? "compressed/" : "patches/" + line.split(' ').at(1) + '/')
                                     + path.toUtf8() + ".zst",
                                 cut);
        }
        list += line;
        formPaths.insert(form, folder + (base.isEmpty() ? "compressed/" : "patches/" + line.split(' ').at(1) + '/')
                                   + path.toUtf8() + ".zst");
    }
    if (fault != u"no list")
        f.server.setResponse(release ? folder + "patches.txt" : "/Windows/6.10.1/Manifests/" + Newer + ".patches.txt",
                             TestHttpServer::ok(list));

    Tarvino::UpdateTarget target = f.target();
    const QString base = f.server.baseUrl().toString();
    target.manifestUrl = QUrl(base + QString::fromLatin1(BuildManifestPath.mid(1)));
    target.manifestFolder = "Windows/6.10.1/Manifests/" + path;
    target.patchListUrl = QUrl(base + "Windows/6.10.1/Manifests/" + path + ".patches.txt");
    target.packedFolderUrl = QUrl(base + "Windows/6.10.1/");
    QString error;
    const auto update = [&] {
        if (!release)
            return f.run(target, &error);
        Tarvino::ReleaseUpdate job(f.manager, f.releaseTarget(releaseName));
        return f.run(job, &error);
    };
    qint64 sentBefore = 0; // by the run that broke off
    if (fault == u"broke off") {
        QVERIFY(!update());
        sentBefore = f.server.bodyBytesSent(formPaths.value("patch 1"));
        TestHttpServer::Response whole = TestHttpServer::ok(zstdPacked(newest, version(1)));
        whole.ranges = true;
        whole.headers = {{"ETag", "\"p1\""}};
        f.server.setResponse(formPaths.value("patch 1"), whole);
        // The next start: what the check offers claims what was kept of it.
        Tarvino::StagingFile::discardUnclaimed(f.appDir.path() + u'/', Exe, target.buildUrl.toString(), target.signedName);
        Tarvino::Swap::discardUnclaimed(f.appDir.path() + u'/', Exe, releaseName);
    }
    QVERIFY2(update(), qPrintable(error));
    QCOMPARE(readFile(f.appPath(installed)), newest);
    // Only the form taken brought the file, once (a cut one: its rest only);
    // the whole file was fetched only where no form served.
    const QByteArray takenPath = taken == u"whole" ? wholePath : formPaths.value(taken);
    QVERIFY(f.server.bodyBytesSent(takenPath) > 0);
    if (taken != u"whole")
        QCOMPARE(f.server.bodyBytesSent(wholePath), 0);
    // The forms after the one taken were never asked for.
    for (qsizetype i = forms.indexOf(taken) + 1; i > 0 && i < forms.size(); ++i)
        QCOMPARE(f.server.bodyBytesSent(formPaths.value(forms.at(i))), 0);
    if (fault == u"cut" || fault == u"broke off") {
        const qint64 size = zstdPacked(newest, version(1)).size();
        QVERIFY(f.server.requestedRanges().contains("bytes=" + QByteArray::number(size / 2) + '-'));
        QCOMPARE(f.server.bodyBytesSent(takenPath) - sentBefore, fault == u"cut" ? size : size - size / 2);
    }
    // Nothing of the forms stays in the folder or the staging folder.
    QVERIFY2(!folderTree(f.appDir.path()).join(u' ').contains(".packed"), qPrintable(folderTree(f.appDir.path()).join(u' ')));
}

void EngineTest::fullDisk_data()
{
    QTest::addColumn<bool>("exfat");
    QTest::addColumn<int>("oldMiB");
    QTest::addColumn<int>("buildMiB");
    QTest::addColumn<QString>("says");
    QTest::addColumn<bool>("release");
    QTest::newRow("a build larger than the free room") << false << 0 << 1
        << "The build is 1.00 MiB, but the drive that holds the program has only " << false;
    QTest::newRow("a release's new files larger than the free room") << false << 0 << 1
        << "The release's new files come to 1.00 MiB, but the drive that holds the program has only " << true;
    // 128 MiB: the build fits beside the old program, but not with its copy.
    QTest::newRow("exFAT: the build and the old program's copy larger than the free room") << true << 40 << 30
        << "The build is 30.00 MiB, and this drive, which has no hard links, needs a copy of 40.00 MiB to keep the "
           "previous version, but it has only " << false;
}

// Refused before a byte is written, with the sizes.
void EngineTest::fullDisk()
{
    QFETCH(int, oldMiB);
    QFETCH(int, buildMiB);
    QFETCH(QString, says);
    if (!runsAsRoot())
        QSKIP("needs root to mount a small drive");
    EngineFixture f;
    const QString small = f.appPath("small");
    QVERIFY(QDir().mkpath(small));
    std::unique_ptr<ExfatMount> exfatMount;
    auto unmount = qScopeGuard([&] {
        if (!exfatMount)
            runProgram("umount", {small});
    });
    if (QFETCH(bool, exfat); exfat) {
        exfatMount = std::make_unique<ExfatMount>(small, 128);
        QVERIFY2(exfatMount->isMounted(), qPrintable(exfatMount->errorString()));
    } else {
        QCOMPARE(runProgram("mount", {"-t", "tmpfs", "-o", "size=256k", "tmpfs", small}), 0);
    }
    const QByteArray old = oldMiB > 0 ? QByteArray(oldMiB * 1024 * 1024, 'o') : OldBytes;
    QVERIFY(writeFile(small + u'/' + Exe, old));
    f.server.setResponse(NewerPath, TestHttpServer::ok(QByteArray(buildMiB * 1024 * 1024, 'x')));
    const QString next = "Tarvino-6.11.0-20260101";
    serveRelease(f.server, next,
                 {{Exe, old}, {Tarvino::updaterProgramName(), "u"}, {"lib.dll", QByteArray(buildMiB * 1024 * 1024, 'x')}});

    QString error;
    if (QFETCH(bool, release); release) {
        Tarvino::ReleaseTarget target = f.releaseTarget(next);
        target.appDir = small + u'/';
        Tarvino::ReleaseUpdate update(f.manager, target);
        QVERIFY(!f.run(update, &error));
    } else {
        Tarvino::UpdateTarget target = f.target();
        target.appDir = small + u'/';
        QVERIFY(!f.run(target, &error));
    }
    QVERIFY2(error.startsWith(says), qPrintable(error));
    QVERIFY(readFile(small + u'/' + Exe) == old);
    QCOMPARE(folderFiles(small), QStringList{Exe});
}

void EngineTest::swapThatCannotMoveTheExecutable()
{
    if (!runsAsRoot())
        QSKIP("needs root to bind-mount the executable");
    EngineFixture f;
    // A mount point can be neither linked nor renamed: the first step of the swap fails.
    QCOMPARE(runProgram("mount", {"--bind", f.appPath(Exe), f.appPath(Exe)}), 0);
    auto unmount = qScopeGuard([&] { runProgram("umount", {f.appPath(Exe)}); });
    f.server.setResponse(NewerPath, TestHttpServer::ok(recorderProgram()));

    QString error;
    QVERIFY(!f.run(f.target(), &error));
    QVERIFY2(error.startsWith("Cannot keep the old program as"), qPrintable(error));
    QCOMPARE(readFile(f.appPath(Exe)), OldBytes);
    QCOMPARE(folderFilesOfTheUpdate(f.appDir.path()), QStringList{Exe});
}

#endif

QTEST_GUILESS_MAIN(EngineTest)
#include "tst_engine.moc"
