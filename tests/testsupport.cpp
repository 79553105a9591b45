#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

QByteArray recorderProgram()
{
    return readFile(QStringLiteral(TARVINO_RECORDER));
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
                               const QString &where, bool *newInPlace)
{
    using namespace TestNames;
    const QByteArray program = readFile(appDir + u'/' + Exe);
    *newInPlace = program == build;
    QVERIFY2(program == build || program == OldBytes, qPrintable(where));
    const bool backupTaken = !earlierBackup.isEmpty();
    if (backupTaken || *newInPlace)
        QCOMPARE(readFile(appDir + u'/' + Identity), backupTaken ? earlierBackup : OldBytes);
    const QStringList files = folderFiles(appDir).filter(QRegularExpression("^(?!started\\.txt)"));
    const QStringList expected = *newInPlace || backupTaken ? QStringList({Identity, Exe}) : QStringList{Exe};
    QVERIFY2(files == expected, qPrintable(where + "; left: " + files.join(u' ')));
}

void addBackupNameRows()
{
    QTest::addColumn<bool>("backupTaken");
    QTest::newRow("backup name free") << false;
    QTest::newRow("backup name taken: the earlier backup stays") << true;
}

QByteArray listingPage(const QList<QByteArray> &entries)
{
    QByteArray page = "<!DOCTYPE HTML>\n<html>\n<body>\n<ul>\n";
    for (const QByteArray &entry : entries)
        page += "<li><a href=\"" + entry + "\">" + entry + "</a></li>\n";
    page += "</ul>\n</body>\n</html>\n";
    return page;
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
    target.transferTimeout = std::chrono::milliseconds(timeoutMs);
    return target;
}

bool EngineFixture::run(const Tarvino::UpdateTarget &target, QString *error)
{
    Tarvino::Update update(manager, target);
    const auto connection = QObject::connect(&manager, &QNetworkAccessManager::finished, &update,
                                             &Tarvino::Update::downloadFinished);
    QSignalSpy finished(&update, &Tarvino::Update::finished);
    update.start();
    if (finished.isEmpty() && !finished.wait(60000))
        qWarning("the update did not end within a minute");
    QObject::disconnect(connection);
    if (error)
        *error = update.errorString();
    return !finished.isEmpty() && update.succeeded();
}
