#pragma once

#include "testhttpserver.h"
#include "releaseupdate.h"
#include "update.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QNetworkAccessManager>
#include <QString>
#include <QStringList>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace TestNames {
inline const QString Exe = QStringLiteral("Tarvíno.exe");
inline const QString Identity = QStringLiteral("Tarvino-6.10.1-20251201");
inline const QByteArray Older = "Tarvino-6.10.1-20250101.exe";
inline const QByteArray Newer = "Tarvino-6.10.1-20260101.exe";
inline const QByteArray ListingPath = "/Windows/6.10.1/Executables/";
inline const QByteArray NewerPath = ListingPath + Newer;
inline const QByteArray SignaturePath = "/Windows/6.10.1/Signatures/" + Newer + ".sig";
inline const QByteArray ListingSignaturePath = "/Windows/6.10.1/Signatures/index.html.sig";
inline const QByteArray BuildManifestPath = "/Windows/6.10.1/Manifests/" + Newer + ".txt";
inline const QString ListingFolder = QStringLiteral("Windows/6.10.1");
inline const QByteArray OldBytes = "#!/bin/false\nthe old build\n";
inline const QString Lock = QStringLiteral(".Tarvíno.exe.lock");
inline const QString Log = QStringLiteral("TarvinoUpdater.log");
inline const QString Journal = QStringLiteral(".Tarvíno.exe.journal");
inline const QString Record = QStringLiteral(".Tarvíno.exe.installed");
inline const QString Hashes = QStringLiteral(".Tarvíno.exe.hashes");
// Where the old bytes go when an earlier backup holds the identity's name.
inline const QString SecondBackup = Identity + QStringLiteral(" (2)");
// The file-system steps of an update whose backup name is free, with hard
// links: staging (open, write, fsync), the folder's record and the journal
// (open, write, fsync, rename, folder flush each), the new build's
// permissions, the link and the swap with a folder flush after each, the
// commit and its folder flush.
constexpr int UpdateSteps = 20;
// Those of the release that the kill loop installs (four files, one of them
// new in a new folder, one removed): the hash notes, the staging folder, its
// mark and record, each staged file (folder, open, first write), one flush of
// them all, the journal, the old files moved into the backup and the new ones
// into place (each phase with one flush of the folders it touched), the commit
// and the hash notes.
constexpr int ReleaseSteps = 44;
// What a link on FAT or exFAT fails with: EPERM on Linux, ERROR_INVALID_FUNCTION on Windows.
constexpr int NoHardLinks = 1;
} // namespace TestNames

// The tests' stand-in for the application: a real program that records how it
// was started in "started.txt" beside itself.
QByteArray recorderProgram();
// What the recorder wrote in `dir`, once it can be read (at most 10 s), or "<missing>".
// Its record is renamed into place, and on Windows the rename's own handle still
// keeps readers out for a moment after the name appears.
QByteArray startRecord(const QString &dir);

// The file's bytes, or "<missing>".
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);

// The names of the files in a folder, hidden ones included, sorted.
QStringList folderFiles(const QString &dir);
// The same without what programs write beside themselves: the support log, the
// folder's record of its program, and what the recorder writes.
QStringList folderFilesOfTheUpdate(const QString &dir);

// Runs a program to its end: its exit code, or -1 when it could not start or crashed.
int runProgram(const QString &program, const QStringList &arguments, QByteArray *output = nullptr,
               const QString &workingDir = {});

// After an update that failed or was interrupted, and the next start: the
// program is the new build or the old one as expected, the old bytes are the
// backup wherever the new build is in place (under the identity, or beside an
// earlier backup that held that name), and nothing else is left but what a
// started program wrote.
void checkFolderAfterNextStart(const QString &appDir, const QByteArray &build, const QByteArray &earlierBackup,
                               bool expectNew, const QString &where);

// Adds the column "backupTaken" with a row for each case of the backup name;
// with drives, also the column "exfat": each row again on an exFAT drive.
void addBackupNameRows(bool drives = false);

// An exFAT file system on a loop device (exfat-fuse), mounted on an empty
// folder until its end. Needs root; anything that does not work is a failure.
class ExfatMount
{
public:
    explicit ExfatMount(const QString &dir, qint64 mib = 64);
    ~ExfatMount();
    bool isMounted() const { return m_mounted; }
    QString errorString() const { return m_error; }

private:
    bool run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr);

    QTemporaryDir m_imageDir;
    QString m_dir;
    QString m_device;
    QProcess m_watcher;
    bool m_mounted = false;
    QString m_error;
};

// On a row whose "exfat" is true, mounts exFAT over dir; skips such a row unless it runs as root.
#define MOUNT_EXFAT_IF_ASKED(mount, dir)                                                                     \
    QFETCH(bool, exfat);                                                                                     \
    std::unique_ptr<ExfatMount> mount;                                                                       \
    if (exfat) {                                                                                             \
        if (!runsAsRoot())                                                                                   \
            QSKIP("needs root to mount exFAT");                                                              \
        mount = std::make_unique<ExfatMount>(dir);                                                           \
        QVERIFY2(mount->isMounted(), qPrintable(mount->errorString()));                                      \
    }

bool runsAsRoot();

// A directory page as Python's http.server writes it.
QByteArray listingPage(const QList<QByteArray> &entries);

// A release's files by path, and its manifest, in which the .exe files and the updater are programs.
using ReleaseFiles = QList<QPair<QString, QByteArray>>;
QByteArray manifestText(const QString &release, const ReleaseFiles &files);
// Serves the release as scripts/publish lays it out: listed, its manifest (signed
// when secretKey is given) and its files.
// A file in zstd, as the publisher compresses it; with a base, as a patch
// from that older version (zstd with the base as its dictionary).
QByteArray zstdPacked(const QByteArray &file, const QByteArray &base = {});
// Serves a smaller form of a file below folder (a release's, or a Qt
// version's for a build) and returns its line of the list of patches: the
// compressed copy, or with a base a patch from it. The list names `listed`
// (by default the form made), the server sends `served` (by default the same).
QByteArray serveForm(TestHttpServer &server, const QByteArray &folder, const QString &path, const QByteArray &file,
                     const QByteArray &base = {}, const QByteArray &listed = {}, const QByteArray &served = {});

void serveRelease(TestHttpServer &server, const QString &release, const ReleaseFiles &files,
                  const QByteArray &secretKey = {});
// Every file and folder below dir, hidden ones included, as sorted relative
// paths; a folder ends in "/".
QStringList folderTree(const QString &dir);

struct KeyPair
{
    QByteArray publicKey;
    QByteArray secretKey;
    static KeyPair make();
};

// The signature file of a listing page, as the publisher's tool writes it.
QByteArray listingSignatureFile(const QByteArray &secretKey, const QByteArray &page,
                                const QString &folder = TestNames::ListingFolder,
                                const QDateTime &published = QDateTime::currentDateTimeUtc());

// An application folder holding the old program, a server, and updates run
// straight through the engine, without a window.
struct EngineFixture
{
    QTemporaryDir appDir;
    TestHttpServer server;
    QNetworkAccessManager manager;
    QStringList notices; // what the last run told the user while it went on

    EngineFixture();
    QString appPath(const QString &name) const { return appDir.filePath(name); }

    // An update of the old program to the newer build on the server, backed up
    // under the identity's name.
    Tarvino::UpdateTarget target(int timeoutMs = 5000) const;

    // The whole release of that name on the server, over the folder.
    Tarvino::ReleaseTarget releaseTarget(const QString &release) const;

    // Runs one update to its end; false with *error set when it failed.
    bool run(const Tarvino::UpdateTarget &target, QString *error = nullptr);
    bool run(Tarvino::UpdateJob &job, QString *error = nullptr);
};
