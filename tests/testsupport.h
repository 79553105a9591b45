#pragma once

#include "testhttpserver.h"
#include "update.h"

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace TestNames {
inline const QString Exe = QStringLiteral("Tarvíno.exe");
inline const QString Identity = QStringLiteral("Tarvino-6.10.1-20251201");
inline const QByteArray Older = "Tarvino-6.10.1-20250101.exe";
inline const QByteArray Newer = "Tarvino-6.10.1-20260101.exe";
inline const QByteArray ListingPath = "/Windows/6.10.1/Executables/";
inline const QByteArray NewerPath = ListingPath + Newer;
inline const QByteArray SignaturePath = "/Windows/6.10.1/Signatures/" + Newer + ".sig";
inline const QByteArray OldBytes = "#!/bin/false\nthe old build\n";
} // namespace TestNames

// The tests' stand-in for the application: a real program that records how it
// was started in "started.txt" beside itself.
QByteArray recorderProgram();

// The file's bytes, or "<missing>".
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);

// The names of the files in a folder, hidden ones included, sorted.
QStringList folderFiles(const QString &dir);

// Runs a program to its end: its exit code, or -1 when it could not start or crashed.
int runProgram(const QString &program, const QStringList &arguments, QByteArray *output = nullptr,
               const QString &workingDir = {});

// After an update that failed or was interrupted, and the next start: the
// program is whole, the old bytes are the backup wherever the new build is in
// place (unless an earlier backup held the name), and nothing else is left but
// what a started program wrote. *newInPlace says which build the program is.
void checkFolderAfterNextStart(const QString &appDir, const QByteArray &build, const QByteArray &earlierBackup,
                               const QString &where, bool *newInPlace);

// Adds the column "backupTaken" with a row for each case of the backup name.
void addBackupNameRows();

// A directory page as Python's http.server writes it.
QByteArray listingPage(const QList<QByteArray> &entries);

// An application folder holding the old program, a server, and updates run
// straight through the engine, without a window.
struct EngineFixture
{
    QTemporaryDir appDir;
    TestHttpServer server;
    QNetworkAccessManager manager;

    EngineFixture();
    QString appPath(const QString &name) const { return appDir.filePath(name); }

    // An update of the old program to the newer build on the server, backed up
    // under the identity's name.
    Tarvino::UpdateTarget target(int timeoutMs = 5000) const;

    // Runs one update to its end; false with *error set when it failed.
    bool run(const Tarvino::UpdateTarget &target, QString *error = nullptr);
};
