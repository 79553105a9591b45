#include "identity.h"
#include "listing.h"
#include "listingcheck.h"
#include "manifest.h"
#include "patchlist.h"
#include "urls.h"

#include <QBuffer>
#include <QTest>

using namespace Tarvino;

Q_DECLARE_METATYPE(Tarvino::IdentityProblem)

class IdentityTest : public QObject
{
    Q_OBJECT

private slots:
    void builtInIdentity_data();
    void builtInIdentity();
    void addresses_data();
    void addresses();
    void newerBuild_data();
    void newerBuild();
    void plainFileNames_data();
    void plainFileNames();
    void identityProblems_data();
    void identityProblems();
    void listingLines_data();
    void listingLines();
    void parseListingKeepsOrderAndEveryName();
    void offers_data();
    void offers();
    void manifestRules_data();
    void manifestRules();
    void patchListRules_data();
    void patchListRules();
};

void IdentityTest::builtInIdentity_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("identity");

    const QString builtIn = QStringLiteral("Tarvino-%1-20251201").arg(QString::fromLatin1(qVersion()));
    QTest::newRow("no argument") << QStringList{"updater"} << builtIn;
    QTest::newRow("no program name either") << QStringList{} << builtIn;
    QTest::newRow("first argument") << QStringList{"updater", "Tarvino-6.8.0-20240101"}
                                    << "Tarvino-6.8.0-20240101";
    QTest::newRow("further arguments ignored")
        << QStringList{"updater", "Tarvino-6.8.0-20240101", "--verbose"} << "Tarvino-6.8.0-20240101";
}

void IdentityTest::builtInIdentity()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, identity);
    QCOMPARE(identityFromArguments(arguments), identity);
}

void IdentityTest::addresses_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("identity");
    QTest::addColumn<QString>("listing");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("runningNumber");

    QTest::newRow("built-in form")
        << "http://downloads.example/" << "Tarvino-6.10.1-20251201"
        << "http://downloads.example/Windows/6.10.1/Executables/" << "Tarvino-6.10.1-20260101.exe"
        << "http://downloads.example/Windows/6.10.1/Executables/Tarvino-6.10.1-20260101.exe"
        << 20251201;
    QTest::newRow("older Qt folder from the argument")
        << "http://127.0.0.1:8000/" << "Tarvino-6.8.0-20240315"
        << "http://127.0.0.1:8000/Windows/6.8.0/Executables/" << "Tarvino-6.8.0-20240401.exe"
        << "http://127.0.0.1:8000/Windows/6.8.0/Executables/Tarvino-6.8.0-20240401.exe" << 20240315;
    QTest::newRow("base with a path")
        << "https://example.org/updates/tarvino/" << "Tarvino-6.10.1-20251201"
        << "https://example.org/updates/tarvino/Windows/6.10.1/Executables/" << "x.exe"
        << "https://example.org/updates/tarvino/Windows/6.10.1/Executables/x.exe" << 20251201;
    QTest::newRow("extension on the identity counts as 0")
        << "http://h/" << "Tarvino-6.10.1-20251201.exe" << "http://h/Windows/6.10.1/Executables/"
        << "a.exe" << "http://h/Windows/6.10.1/Executables/a.exe" << 0;
    QTest::newRow("percent-encoded entry stays as read")
        << "http://h/" << "Tarvino-6.10.1-1" << "http://h/Windows/6.10.1/Executables/"
        << "Tarv%C3%ADno-6.10.1-2.exe" << "http://h/Windows/6.10.1/Executables/Tarv%C3%ADno-6.10.1-2.exe"
        << 1;
}

void IdentityTest::addresses()
{
    QFETCH(QString, base);
    QFETCH(QString, identity);
    QFETCH(QString, listing);
    QFETCH(QString, entry);
    QFETCH(QString, file);
    QFETCH(int, runningNumber);

    const QUrl listingAddress = listingUrl(QUrl(base), QStringLiteral("Windows"), identity);
    QCOMPARE(listingAddress.toString(QUrl::FullyEncoded), listing);
    QCOMPARE(fileUrl(listingAddress, entry).toString(QUrl::FullyEncoded), file);
    QCOMPARE(runningDateNumber(identity), runningNumber);
}

void IdentityTest::newerBuild_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("identity");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("newer");

    QTest::newRow("later date") << "Tarvino-6.10.1-20260101.exe" << "Tarvino-6.10.1-20251201" << true << true;
    QTest::newRow("earlier date") << "Tarvino-6.10.1-20250101.exe" << "Tarvino-6.10.1-20251201" << true << false;
    QTest::newRow("equal date") << "Tarvino-6.10.1-20251201.exe" << "Tarvino-6.10.1-20251201" << true << false;
    QTest::newRow("no extension") << "Tarvino-6.10.1-20260101" << "Tarvino-6.10.1-20251201" << true << true;
    QTest::newRow("several dots") << "Tarvino-6.10.1-20260101.tar.gz" << "Tarvino-6.10.1-20251201" << true << true;
    QTest::newRow("letters before the dot") << "Tarvino-6.10.1-build7.exe" << "Tarvino-6.10.1-20251201" << false << false;
    QTest::newRow("empty date") << "Tarvino-6.10.1-.exe" << "Tarvino-6.10.1-20251201" << false << false;
    QTest::newRow("beyond 32 bits") << "Tarvino-6.10.1-99999999999.exe" << "Tarvino-6.10.1-1" << false << false;
    QTest::newRow("Qt version plays no part") << "Tarvino-6.2.0-20260101.exe" << "Tarvino-6.10.1-20251201" << true << true;
    QTest::newRow("unparsable identity counts as 0") << "Tarvino-6.10.1-1.exe" << "Tarvino-6.10.1-x" << true << true;
    QTest::newRow("zero is not above 0") << "Tarvino-6.10.1-0.exe" << "Tarvino-6.10.1-x" << true << false;
}

void IdentityTest::newerBuild()
{
    QFETCH(QString, entry);
    QFETCH(QString, identity);
    QFETCH(bool, valid);
    QFETCH(bool, newer);
    QCOMPARE(entryDateNumber(entry).has_value(), valid);
    QCOMPARE(isNewerBuild(entry, identity), newer);
}

void IdentityTest::plainFileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("plain");

    QTest::newRow("build") << "Tarvino-6.10.1-20260101.exe" << true;
    QTest::newRow("accented") << QStringLiteral("Tarvíno.exe") << true;
    QTest::newRow("percent-encoded letter") << "Tarv%C3%ADno.exe" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("slash") << "../Tarvino.exe" << false;
    QTest::newRow("backslash") << "..\\Tarvino.exe" << false;
    QTest::newRow("drive") << "C:Tarvino.exe" << false;
    QTest::newRow("line feed") << "a\nb.exe" << false;
    QTest::newRow("NUL") << QString::fromUtf16(u"a\0b.exe", 7) << false;
    QTest::newRow("encoded slash") << "..%2fTarvino.exe" << false;
    QTest::newRow("encoded backslash") << "..%5CTarvino.exe" << false;
    QTest::newRow("encoded dots") << "%2e%2E" << false;
    QTest::newRow("query") << "a.exe?x=1" << false;
    QTest::newRow("fragment") << "a.exe#x" << false;
    QTest::newRow("255 characters") << QString(251, u'a') + ".exe" << true;
    QTest::newRow("256 characters") << QString(252, u'a') + ".exe" << false;
}

void IdentityTest::plainFileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, plain);
    QCOMPARE(isPlainFileName(name), plain);
}

void IdentityTest::identityProblems_data()
{
    QTest::addColumn<QString>("identity");
    QTest::addColumn<IdentityProblem>("problem");

    QTest::newRow("usual") << "Tarvino-6.10.1-20251201" << IdentityProblem::None;
    QTest::newRow("two fields") << "Tarvino-6.10.1" << IdentityProblem::None;
    QTest::newRow("one field") << "Tarvino" << IdentityProblem::NoQtVersion;
    QTest::newRow("empty Qt field") << "Tarvino--20251201" << IdentityProblem::NoQtVersion;
    QTest::newRow("path") << "../../Tarvino-6.10.1-1" << IdentityProblem::UnsafeName;
    QTest::newRow("empty") << "" << IdentityProblem::UnsafeName;
}

void IdentityTest::identityProblems()
{
    QFETCH(QString, identity);
    QFETCH(IdentityProblem, problem);
    QCOMPARE(identityProblem(identity), problem);
}

void IdentityTest::listingLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("entry"); // null: not a listing line

    QTest::newRow("python http.server") << "<li><a href=\"T-6-2.exe\">T-6-2.exe</a></li>\n" << "T-6-2.exe";
    QTest::newRow("carriage return") << "<li><a href=\"T-6-2.exe\">T-6-2.exe</a></li>\r\n" << QString();
    QTest::newRow("no line feed") << "<li><a href=\"T-6-2.exe\">T-6-2.exe</a></li>" << QString();
    QTest::newRow("upper case") << "<LI><A href=\"T-6-2.exe\">T-6-2.exe</A></LI>\n" << QString();
    QTest::newRow("leading space") << " <li><a href=\"T-6-2.exe\">T-6-2.exe</a></li>\n" << QString();
    QTest::newRow("several links") << "<li><a href=\"a.exe\">a</a></li><li><a href=\"b.exe\">b</a></li>\n" << "a.exe";
    QTest::newRow("no quote") << "<li><a href=x>x</a></li>\n" << QString();
    QTest::newRow("empty quotes") << "<li><a href=\"\">x</a></li>\n" << "";
}

void IdentityTest::listingLines()
{
    QFETCH(QString, line);
    QFETCH(QString, entry);
    const std::optional<QString> found = listingEntry(line);
    QCOMPARE(found.has_value(), !entry.isNull());
    if (found)
        QCOMPARE(*found, entry);
}

void IdentityTest::parseListingKeepsOrderAndEveryName()
{
    QByteArray page = "<html><ul>\n"
                      "<li><a href=\"Tarvino-6.10.1-20260101.exe\">new</a></li>\n"
                      "<li><a href=\"../evil.exe\">evil</a></li>\n"
                      "<li><a href=\"\">empty</a></li>\n"
                      "<li><a href=\"Tarv\xc3\xadno-6.10.1-20250101.exe\">old</a></li>\n"
                      "</ul></html>";
    QBuffer buffer(&page);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QCOMPARE(parseListing(buffer), QStringList({"Tarvino-6.10.1-20260101.exe", "../evil.exe", "",
                                                QStringLiteral("Tarvíno-6.10.1-20250101.exe")}));
}

void IdentityTest::offers_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("reason"); // its beginning

    const QString older = "Tarvino-6.10.1-20250101.exe";
    const QString newer = "Tarvino-6.10.1-20260101.exe";
    QTest::newRow("newer, same Qt") << QStringList{older, newer} << newer << "";
    QTest::newRow("older last") << QStringList{newer, older} << "" << "";
    QTest::newRow("nothing listed") << QStringList{} << "" << "";
    QTest::newRow("newer for another Qt") << QStringList{older, "Tarvino-6.11.0-20260301.exe"} << ""
                                          << "The newest build, Tarvino-6.11.0-20260301.exe, is for another Qt";
    QTest::newRow("another Qt whose version starts alike") << QStringList{"Tarvino-6.10.10-20260301.exe"} << ""
                                                           << "The newest build";
    for (const QString &unsafe : {"../" + newer, "..%2F" + newer, QString("sub/") + newer, QString()}) {
        QTest::addRow("unsafe last \"%s\": the one before is not promoted", qPrintable(unsafe))
            << QStringList{newer, unsafe} << "" << "The newest entry of the listing";
    }
}

void IdentityTest::offers()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, offered);
    QFETCH(QString, reason);
    const Offer offer = decideOffer(entries, "Tarvino-6.10.1-20251201");
    QCOMPARE(offer.entry, offered);
    QVERIFY2(reason.isEmpty() ? offer.reason.isEmpty() : offer.reason.startsWith(reason), qPrintable(offer.reason));
}

void IdentityTest::manifestRules_data()
{
    QTest::addColumn<QByteArray>("files");
    QTest::addColumn<QString>("refusal"); // what the message says after the path; empty: accepted

    const auto line = [](const QByteArray &path, qint64 size = 3, const char *kind = "-") {
        return QByteArray(64, 'a') + ' ' + QByteArray::number(size) + ' ' + kind + ' ' + path + '\n';
    };
    QTest::newRow("a program, a library and a plugin in a folder")
        << line("Tarv\xc3\xadno.exe", 3, "x") + line("Qt6Core.dll") + line("platforms/qwindows.dll") << "";
    QTest::newRow("a name with spaces") << line("Read me first.txt") << "";
    QTest::newRow("a path of 160 characters") << line(QByteArray(100, 'a') + '/' + QByteArray(59, 'b')) << "";
    const QList<std::pair<QByteArray, QString>> refused{
        {"/etc/passwd", "has an absolute path."},
        {"C:/Windows/evil.dll", "has a colon (a drive or an alternate data stream)."},
        {"Tarv\xc3\xadno.exe:hidden", "has a colon (a drive or an alternate data stream)."},
        {"..\\evil.dll", "has a backslash; paths use \"/\"."},
        {"../evil.dll", "has a \".\" or \"..\" step."},
        {"plugins/../../evil.dll", "has a \".\" or \"..\" step."},
        {"./a.dll", "has a \".\" or \"..\" step."},
        {"plugins//a.dll", "has an empty folder name."},
        {"a\x1b.dll", "has a control character."},
        {"a<b.dll", "has a character that Windows does not allow in a name (<)."},
        {"a>b.dll", "has a character that Windows does not allow in a name (>)."},
        {"plugins/\"a\".dll", "has a character that Windows does not allow in a name (\")."},
        {"a|b.dll", "has a character that Windows does not allow in a name (|)."},
        {"what?.dll", "has a character that Windows does not allow in a name (?)."},
        {"*.dll", "has a character that Windows does not allow in a name (*)."},
        {QByteArray(100, 'a') + '/' + QByteArray(60, 'b'),
         "has a path longer than 160 characters, more than Windows holds from a user's folder."},
        {"CON", "has a name that Windows reserves for a device."},
        {"plugins/nul.txt", "has a name that Windows reserves for a device."},
        {"Com1.dll", "has a name that Windows reserves for a device."},
        {"a.dll.", "has a name ending in a dot or a space."},
        {"plugins /a.dll", "has a name ending in a dot or a space."},
        {"TarvinoUpdater.log", "is a name the updater keeps for itself."},
        {"tarvinorelease.txt", "is a name the updater keeps for itself."},
        {".Tarv\xc3\xadno.exe.journal", "is a name the updater keeps for itself."},
    };
    for (const auto &[path, refusal] : refused)
        QTest::addRow("%s", path.constData()) << line(path) << refusal;
    QTest::newRow("two names equal but for case") << line("Qt6Core.dll") + line("qt6core.DLL")
        << "is named twice, when case is ignored, or is both a file and a folder.";
    QTest::newRow("a file and a folder of one name") << line("platforms") + line("platforms/qwindows.dll")
        << "is both a file and a folder.";
    QTest::newRow("not a file's line") << QByteArray(64, 'a') + " 3 y a.dll\n" << "line 3 is not a file's line.";
    QTest::newRow("a size that is no number") << QByteArray(64, 'a') + " 3k - a.dll\n" << "line 3 is not a file's line.";
    QTest::newRow("a short SHA-256") << QByteArray(62, 'a') + " 3 - a.dll\n" << "line 3 is not a file's line.";
    QByteArray many;
    for (int i = 0; i <= Manifest::MaxFiles; ++i)
        many += line("f" + QByteArray::number(i));
    QTest::newRow("more files than allowed") << many << "it names more than 10000 files.";
    QTest::newRow("larger in all than allowed") << line("a", Manifest::MaxTotalSize) + line("b", 1)
        << "its files come to more than 8589934592 bytes.";
}

// A manifest that breaks any rule is refused whole, naming the rule and the path.
void IdentityTest::manifestRules()
{
    QFETCH(QByteArray, files);
    QFETCH(QString, refusal);
    Manifest manifest;
    manifest.setReserved({"TarvinoUpdater.log", Manifest::RecordName}, QStringLiteral(".Tarvíno.exe."));
    const bool parsed = manifest.parse("Tarvino release manifest 1\nrelease: Tarvino-6.10.1-20260115\n" + files);
    QCOMPARE(parsed, refusal.isEmpty());
    if (parsed) {
        QCOMPARE(manifest.release(), "Tarvino-6.10.1-20260115");
        QCOMPARE(manifest.files().size(), files.count('\n'));
        return;
    }
    QVERIFY2(manifest.errorString().startsWith("The release's manifest is refused: "), qPrintable(manifest.errorString()));
    QVERIFY2(manifest.errorString().endsWith(refusal), qPrintable(manifest.errorString()));
    QVERIFY(manifest.files().isEmpty());
}

void IdentityTest::patchListRules_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QString>("refusal"); // the message's end; empty: accepted
    QTest::addColumn<QStringList>("ways"); // accepted: the forms for lib.dll as the folder holds version "b"

    const QByteArray a(64, 'a'), b(64, 'b'), c(64, 'c');
    const auto zst = [](qint64 size, const QByteArray &path = "lib.dll") {
        return "zst " + QByteArray(64, 'e') + ' ' + QByteArray::number(size) + ' ' + path + '\n';
    };
    const auto patch = [](const QByteArray &base, qint64 size = 10, const QByteArray &path = "lib.dll") {
        return "patch " + base + ' ' + QByteArray(64, 'f') + ' ' + QByteArray::number(size) + ' ' + path + '\n';
    };
    QTest::newRow("the patch from the held version first, then the compressed copy")
        << zst(500) + patch(a) + patch(b) + patch(c, 10, "plugins/a b.dll") << ""
        << QStringList{"patch " + QString(64, u'b'), "zst"};
    QTest::newRow("no patch from the held version") << patch(a) + zst(500) << "" << QStringList{"zst"};
    QTest::newRow("an empty list") << QByteArray() << "" << QStringList{};
    QTest::newRow("a file the manifest does not name") << zst(5, "evil.dll")
        << "line 3 names evil.dll, which is no file of the release." << QStringList{};
    QTest::newRow("a path that leaves the folder") << zst(5, "../lib.dll")
        << "line 3 names ../lib.dll, which is no file of the release." << QStringList{};
    QTest::newRow("a path the manifest names in another case") << zst(5, "LIB.dll")
        << "line 3 names LIB.dll, which is no file of the release." << QStringList{};
    QTest::newRow("a form as large as its file") << zst(1000) << "line 3 is not smaller than lib.dll itself."
                                                 << QStringList{};
    QTest::newRow("a form of no bytes") << zst(0) << "line 3 is not a line of the list." << QStringList{};
    QTest::newRow("a form named twice") << patch(a) + patch(a) << "line 4 names a form of lib.dll twice."
                                        << QStringList{};
    QByteArray many;
    for (int i = 0; i <= PatchList::MaxPatchesPerFile; ++i)
        many += patch(QByteArray(63, 'a') + QByteArray::number(i));
    QTest::newRow("more patches than allowed") << many << "lib.dll has more than 8 patches." << QStringList{};
    QTest::newRow("an unknown kind") << "bsdiff " + a + " 5 lib.dll\n" << "line 3 is not a line of the list."
                                     << QStringList{};
    QTest::newRow("a short SHA-256") << "zst " + QByteArray(62, 'e') + " 5 lib.dll\n"
                                     << "line 3 is not a line of the list." << QStringList{};
    QTest::newRow("a size that is no number") << "zst " + a + " 5k lib.dll\n" << "line 3 is not a line of the list."
                                              << QStringList{};
}

// A list of smaller forms names files of its manifest only, each form smaller
// than its file; one that breaks any rule is refused whole.
void IdentityTest::patchListRules()
{
    QFETCH(QByteArray, lines);
    QFETCH(QString, refusal);
    QFETCH(QStringList, ways);
    Manifest manifest;
    QVERIFY(manifest.parse("Tarvino release manifest 1\nrelease: Tarvino-6.10.1-20260115\n" + QByteArray(64, 'd')
                           + " 1000 - lib.dll\n" + QByteArray(64, 'd') + " 1000 - plugins/a b.dll\n"));
    PatchList list;
    const bool parsed = list.parse("Tarvino release patches 1\nrelease: Tarvino-6.10.1-20260115\n" + lines, manifest);
    QVERIFY2(parsed == refusal.isEmpty(), qPrintable(list.errorString()));
    QVERIFY2(refusal.isEmpty() || list.errorString().endsWith(refusal), qPrintable(list.errorString()));
    QStringList taken;
    for (const PackedFile &form : list.waysFor("lib.dll", QByteArray::fromHex(QByteArray(64, 'b'))))
        taken << form.tag();
    QCOMPARE(taken, ways);
    // The list of another release is never taken.
    QVERIFY(!list.parse("Tarvino release patches 1\nrelease: Tarvino-6.10.1-20260116\n" + lines, manifest));
}

QTEST_GUILESS_MAIN(IdentityTest)
#include "tst_identity.moc"
