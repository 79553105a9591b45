#include "releaseupdate.h"

#include "fetch.h"
#include "filedownload.h"
#include "fileops.h"
#include "hashcache.h"
#include "identity.h"
#include "swap.h"
#include "stagingfile.h"
#include "signature.h"
#include "supportlog.h"
#include "urls.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkReply>

#include <algorithm>
#include <string_view>

namespace Tarvino {

static_assert(std::string_view(Manifest::RecordName) == std::string_view(Swap::RecordName));

ReleaseUpdate::ReleaseUpdate(QNetworkAccessManager &fileManager, ReleaseTarget target, QObject *parent)
    : UpdateJob(parent), m_fileManager(fileManager), m_target(std::move(target))
{
    m_selfTestTimer.setSingleShot(true);
}

ReleaseUpdate::~ReleaseUpdate() = default;

bool ReleaseUpdate::heldManifest(const QString &appDir, Manifest *manifest)
{
    QFile file;
    if (FileOps::openPlainFile(file, appDir + QLatin1String(Manifest::RecordName), QIODevice::ReadOnly) != 0)
        return false;
    return manifest->parse(file.read(Manifest::MaxTextSize + 1));
}

bool ReleaseUpdate::holdsItsProgram(const QString &appDir, const QString &executableName, const Manifest &manifest,
                                    const QByteArray &programSha256)
{
    const ManifestFile *program = manifest.find(executableName);
    return program && QFileInfo(appDir + executableName).size() == program->size && programSha256 == program->sha256;
}

void ReleaseUpdate::run()
{
    SupportLog::write(QStringLiteral("Update to release %1 from %2").arg(m_target.release, m_target.folderUrl.toString()));
    if (!m_target.publicKeys.isEmpty() && !signaturesSupported())
        return end(false, tr("This updater was built without signature checking."));
    const QUrl manifest = m_target.folderUrl.resolved(QUrl(QStringLiteral("manifest.txt")));
    fetchText(manifest, Manifest::MaxTextSize, m_target);
    m_signatureText = -1;
    if (!m_target.publicKeys.isEmpty())
        m_signatureText = fetchText(QUrl(manifest.toString() + QStringLiteral(".sig")), MaxSignatureFileSize, m_target);
    fetchPatchList(m_target.folderUrl.resolved(QUrl(QStringLiteral("patches.txt"))), m_target);
}

// Once the manifest, and its signature where one is needed, are in.
void ReleaseUpdate::textsArrived(Texts &texts)
{
    QByteArray text;
    Text *signature = m_signatureText >= 0 ? texts.at(m_signatureText).get() : nullptr;
    if (!takeManifest(*texts.at(0), signature, m_target, m_target.signedFolder, tr("release's manifest"), &text)) {
        return end(false, errorString());
    }
    m_manifest.setReserved(m_target.reservedNames, u'.' + m_target.executableName + u'.');
    if (!m_manifest.parse(text))
        return end(false, m_manifest.errorString());
    if (m_manifest.release() != m_target.release)
        return end(false, tr("The manifest is of %1, not of %2.").arg(shortened(m_manifest.release()), m_target.release));
    // Without its updater a folder could never update again.
    for (const QString &needed : {m_target.executableName, m_target.updaterName}) {
        if (!m_manifest.find(needed))
            return end(false, tr("The release has no %1.").arg(needed));
    }

    takePatchList(texts, m_manifest, m_target, m_target.signedFolder);
    if (!plan())
        return end(false, errorString());
    SupportLog::write(QStringLiteral("Release %1: %2 files, %3 changes, %4 files (%5 bytes) to fetch")
                          .arg(m_target.release)
                          .arg(m_manifest.files().size())
                          .arg(m_changes.size())
                          .arg(m_toFetch.size())
                          .arg(m_bytesToFetch));
    // Each file's form is decoded beside it, and goes then.
    qint64 newBytes = 0;
    qint64 largestForm = 0;
    for (const ManifestFile &file : std::as_const(m_toFetch)) {
        newBytes += file.size;
        if (const auto forms = m_forms.value(file.path); !forms.isEmpty())
            largestForm = qMax(largestForm, forms.constFirst().size);
    }
    if (!hasRoom(m_target.appDir,
                 tr("The release's new files come to %1").arg(QLocale().formattedDataSize(newBytes + largestForm)),
                 newBytes + largestForm)) {
        return end(false, errorString());
    }
    if (!makeSwap(m_target.appDir, m_target.executableName).prepare(m_target.release))
        return end(false, swap()->errorString());
    // The folder's record of its release, swapped with the rest.
    const QString record = swap()->stagingDir() + QLatin1String(Manifest::RecordName);
    if (const int code = FileOps::writeFileInOneStep(record, text, FileOps::Flush::Later))
        return end(false, tr("Cannot write %1: %2").arg(FileOps::nativePath(record), FileOps::describe(code)));
    fetchNext();
}

// Only what differs from the folder is fetched; nothing is reached through a link.
bool ReleaseUpdate::plan()
{
    const QString dir = m_target.appDir;
    HashCache hashes(dir, m_target.executableName);
    // Each file passes through the staging folder and, later, the backup folder
    // (its name may gain " (2)"): all within what Windows holds without the long form.
    constexpr qsizetype WindowsMaxPath = 259;
    const qsizetype around = dir.size()
        + qMax(Swap::stagingPrefix(m_target.executableName).size() + 9, m_target.backupName.size() + 5);
    for (const ManifestFile &file : m_manifest.files()) {
        if (around + file.path.size() > WindowsMaxPath) {
            return fail(tr("The release is not installed: %1 would take %2 characters in this folder, more than "
                           "Windows allows (%3).")
                            .arg(FileOps::nativePath(dir + file.path))
                            .arg(around + file.path.size())
                            .arg(WindowsMaxPath));
        }
        if (const QString link = Swap::linkInTheWay(dir, file.path); !link.isEmpty()) {
            return fail(tr("The release is not installed: %1 in the folder is a link or a folder.")
                            .arg(FileOps::nativePath(link)));
        }
        const QFileInfo installed(dir + file.path);
        // What the folder holds there, read once: for the check, and for the patch that applies to it.
        const bool sameSize = installed.exists() && installed.size() == file.size;
        const QByteArray held = sameSize || (installed.exists() && !patchList().isEmpty()) ? hashes.sha256(file.path)
                                                                                          : QByteArray();
        if (sameSize && held == file.sha256)
            continue;
        m_changes.append({installed.exists() ? SwapChange::Kind::Replace : SwapChange::Kind::Add, file.path});
        m_toFetch.append(file);
        if (!patchList().isEmpty()) {
            const auto forms = patchList().waysFor(file.path, FileOps::isPlainFile(dir + file.path) ? held : QByteArray());
            if (!forms.isEmpty())
                m_forms.insert(file.path, forms);
        }
        m_bytesToFetch += cost(file);
    }
    // What the previous release had and this one has not goes with the backup.
    Manifest held;
    if (heldManifest(dir, &held)) {
        for (const ManifestFile &file : held.files()) {
            const QFileInfo old(dir + file.path);
            if (!m_manifest.find(file.path) && old.exists() && !old.isSymLink() && !old.isDir())
                m_changes.append({SwapChange::Kind::Remove, file.path});
        }
    }
    hashes.save();
    const bool hadRecord = FileOps::exists(dir + QLatin1String(Manifest::RecordName));
    m_changes.append({hadRecord ? SwapChange::Kind::Replace : SwapChange::Kind::Add,
                      QString::fromLatin1(Manifest::RecordName)});
    return true;
}

// What the file costs to fetch: its best form, else itself.
qint64 ReleaseUpdate::cost(const ManifestFile &file) const
{
    const auto forms = m_forms.constFind(file.path);
    return forms == m_forms.cend() ? file.size : forms->constFirst().size;
}

void ReleaseUpdate::fetchNext()
{
    if (m_toFetch.isEmpty())
        return install();
    const ManifestFile &file = m_toFetch.constFirst();
    const QString staged = swap()->stagingDir() + file.path;
    const QUrl url = m_target.folderUrl.resolved(QUrl(QStringLiteral("files/") + encodedPath(file.path)));
    if (const int error = FileOps::makeFolders(QFileInfo(staged).absolutePath()))
        return end(false, tr("Cannot make a folder for %1: %2").arg(FileOps::nativePath(staged), FileOps::describe(error)));
    // What an earlier run of this release fetched whole is taken as it is; the
    // one it broke off in is continued from where it stopped.
    if (FileOps::isPlainFile(staged) && QFileInfo(staged).size() == file.size
        && FileOps::sha256Of(staged) == file.sha256) {
        if (FileOps::exists(PartialRecord::pathFor(staged)))
            FileOps::removeFile(PartialRecord::pathFor(staged));
        m_toFetch.removeFirst();
        m_bytesFetched += cost(file);
        return fetchNext();
    }
    FileDownload::Source source{url, file.path, tr("%1 of the release").arg(FileOps::nativePath(file.path)), file,
                                {}, {}};
    source.packed = m_forms.value(file.path);
    source.packedFolder = m_target.folderUrl;
    source.base = m_target.appDir + file.path;
    // A name no file of a release can have.
    const QString packed = swap()->stagingDir() + u'.' + m_target.executableName + QStringLiteral(".packed");
    source.packedStaging = [packed] { return std::make_unique<StagingFile>(packed); };
    fetchFile(std::make_unique<FileDownload>(m_fileManager, std::make_unique<StagingFile>(staged), std::move(source),
                                             fetchOptions(m_target)),
              m_bytesFetched, m_bytesToFetch, FileOps::Flush::Later);
}

void ReleaseUpdate::fileFetched()
{
    const ManifestFile file = m_toFetch.constFirst();
    if (const Fetch *fetch = m_download->fetch(); fetch && !fetch->succeeded()) {
        return end(false, tr("%1 of the release could not be fetched: %2")
                              .arg(FileOps::nativePath(file.path), fetch->errorString()));
    }
    // Flushed with the others before the swap: one flush of the drive, not one a file.
    if (!m_download->isWhole())
        return end(false, m_download->errorString());
    m_download->release();
    const QFileDevice::Permissions readable = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
        | QFileDevice::ReadOther;
    const QFileDevice::Permissions runnable = QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    QFile::setPermissions(m_download->path(), file.program ? readable | runnable : readable);
    m_toFetch.removeFirst();
    m_bytesFetched += cost(file);
    m_download.reset();
    fetchNext();
}

void ReleaseUpdate::install()
{
    SupportLog::write(QStringLiteral("Fetched %1 bytes.").arg(m_bytesFetched));
    downloadArrived();
    // Every staged file durable before the first one is moved in.
    QStringList staged;
    for (const SwapChange &change : std::as_const(m_changes)) {
        if (change.kind != SwapChange::Kind::Remove)
            staged << swap()->stagingDir() + change.path;
    }
    if (const int error = FileOps::syncFiles(staged))
        return end(false, tr("Cannot write the release's files to the disk: %1").arg(FileOps::describe(error)));
    // The updater and what it loads (Qt, its plugins, the libraries) must show
    // that they start before anything installed changes: once the swap has
    // begun, whatever updater stands in the folder is the one that recovers it.
    const bool updaterTouched = std::any_of(m_changes.cbegin(), m_changes.cend(), [this](const SwapChange &change) {
        return change.path != m_target.executableName && change.path != QLatin1String(Manifest::RecordName);
    });
    if (updaterTouched)
        return qualifyUpdater();
    swapIn();
}

// The staging folder is made whole with the files the release leaves as they
// are (second names where the drive has hard links, copies elsewhere), and the
// staged updater is started there with --self-test, bounded in time.
void ReleaseUpdate::qualifyUpdater()
{
    const QString staging = swap()->stagingDir();
    for (const ManifestFile &file : m_manifest.files()) {
        const bool staged = std::any_of(m_changes.cbegin(), m_changes.cend(), [&file](const SwapChange &change) {
            return change.kind != SwapChange::Kind::Remove && change.path == file.path;
        });
        if (staged)
            continue;
        const QString lent = staging + file.path;
        int error = FileOps::makeFolders(QFileInfo(lent).absolutePath());
        if (!error) {
            error = FileOps::linkFile(m_target.appDir + file.path, lent);
            if (FileOps::linksUnsupported(error))
                error = FileOps::copyFile(m_target.appDir + file.path, lent);
        }
        if (error) {
            return end(false, tr("Cannot prepare the new updater's test in %1: %2")
                                  .arg(FileOps::nativePath(lent), FileOps::describe(error)));
        }
        m_lent << lent;
    }
    connect(&m_selfTest, &QProcess::finished, this, [this](int status, QProcess::ExitStatus how) {
        selfTestFinished(how == QProcess::NormalExit && status == 0,
                         how == QProcess::NormalExit ? tr("it ended with status %1").arg(status)
                                                     : tr("it ended by a signal"));
    });
    connect(&m_selfTest, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            selfTestFinished(false, tr("it could not be started: %1").arg(m_selfTest.errorString()));
    });
    connect(&m_selfTestTimer, &QTimer::timeout, this, [this] {
        selfTestFinished(false, tr("it did not end within %1 seconds").arg(m_target.selfTestTime.count() / 1000.0));
    });
    m_selfTestRunning = true;
    m_selfTestTimer.start(m_target.selfTestTime);
    m_selfTest.start(staging + m_target.updaterName, {QStringLiteral("--self-test")});
}

void ReleaseUpdate::selfTestFinished(bool passed, const QString &why)
{
    if (!isRunning() || !m_selfTestRunning)
        return;
    m_selfTestRunning = false;
    m_selfTestTimer.stop();
    m_selfTest.disconnect(this);
    m_selfTestTimer.disconnect(this);
    if (m_selfTest.state() != QProcess::NotRunning) {
        m_selfTest.kill();
        m_selfTest.waitForFinished(5000);
    }
    // What was lent for the test goes again: the swap moves only what the release changes.
    for (const QString &lent : std::as_const(m_lent))
        FileOps::removeFile(lent);
    m_lent.clear();
    if (!passed) {
        SupportLog::write(QStringLiteral("The new updater could not start: ") + why);
        return end(false, tr("The new release's updater could not start on this computer: %1. Nothing was changed.")
                              .arg(why));
    }
    SupportLog::write(QStringLiteral("The new updater starts."));
    swapIn();
}

void ReleaseUpdate::swapIn()
{
    QStringList topNames;
    for (const ManifestFile &file : m_manifest.files())
        topNames << file.path.section(u'/', 0, 0);
    m_swapBegun = true;
    // Each file moved in was checked against the manifest.
    for (const SwapChange &change : std::as_const(m_changes)) {
        if (const ManifestFile *file = m_manifest.find(change.path); file && change.kind != SwapChange::Kind::Remove)
            checked(file->path, file->sha256);
    }
    if (!swap()->install(m_changes, m_target.backupName, Swap::Backup::Folder, topNames))
        return end(false, swap()->errorString());
    SupportLog::write(QStringLiteral("Installed; the previous release is kept in ") + swap()->backupPath());
    for (const QString &path : swap()->displaced()) {
        const QString note = tr("%1 appeared in the folder during the download; it is kept in %2.")
                                 .arg(FileOps::nativePath(m_target.appDir + path), FileOps::nativePath(swap()->backupPath()));
        SupportLog::write(note);
        Q_EMIT notice(note);
    }
    watchNewProgram(m_target.appDir + m_target.executableName, m_target.healthCheckTime);
}

void ReleaseUpdate::end(bool succeeded, const QString &error)
{
    // A file that broke off stays, with the ones fetched before it, for the next
    // try; so does all that came before the user stopped the download.
    if (!succeeded && !m_swapBegun && swap()) {
        const bool brokeOff = m_download && m_download->keepForLater();
        if ((brokeOff || (cancelled() && m_bytesFetched > 0)) && swap()->keepStaging(m_target.release) == 0) {
            m_keptForLater = true;
            SupportLog::write(QStringLiteral("Kept the files fetched so far of %1 for the next try.").arg(m_target.release));
        }
    }
    // Closed before its folder goes.
    m_download.reset();
    // Files fetched for a swap that never began.
    if (swap() && !m_swapBegun && !m_keptForLater)
        FileOps::removeTree(swap()->stagingDir().chopped(1));
    UpdateJob::end(succeeded, error);
}

} // namespace Tarvino
