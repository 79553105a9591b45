#include "update.h"

#include "fetch.h"
#include "fileops.h"
#include "hashcache.h"
#include "identity.h"
#include "installedrecord.h"
#include "signature.h"
#include "stagingfile.h"
#include "supportlog.h"
#include "swap.h"
#include "transfer.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkReply>
#include <QStorageInfo>

namespace Tarvino {

namespace {
// Left free on the program's drive beside a build, for the system and other programs.
constexpr qint64 FreeSpaceMargin = 32 * 1024 * 1024;
// How often a download's progress is flushed and recorded for a later run,
// besides at its first bytes. A read brings at most 1 MiB (the reply's buffer):
// a run killed after N MiB leaves a record of at least N - 4 MiB.
constexpr qint64 RecordEvery = 3 * 1024 * 1024;
}

Update::Update(QNetworkAccessManager &buildManager, UpdateTarget target, QObject *parent)
    : UpdateJob(parent), m_buildManager(buildManager), m_target(std::move(target))
{
}

Update::~Update() = default;

void Update::start()
{
    if (isRunning())
        return;
    begin();
    SupportLog::write(QStringLiteral("Update to ") + m_target.buildUrl.toString());
    m_staging = std::make_unique<StagingFile>(m_target.appDir, m_target.executableName);
    // What an earlier run of this same build left is continued, not begun again.
    PartialRecord partial;
    m_resumeFrom = {};
    if (m_staging->openPartial(m_target.buildUrl.toString(), m_target.signedName, &partial)) {
        m_resumeFrom = {partial.have, partial.total, partial.validator};
        SupportLog::write(QStringLiteral("Continuing the %1 of %2 bytes an earlier run left in %3")
                              .arg(partial.have).arg(partial.total).arg(m_staging->path()));
    } else if (!m_staging->open()) {
        return end(false, m_staging->errorString());
    }

    const bool signedBuilds = !m_target.publicKeys.isEmpty();
    if (signedBuilds && !signaturesSupported())
        return end(false, tr("This updater was built without signature checking."));
    // Fetched before the build, so that the build can be checked as it streams in.
    const auto fetch = [this](const QUrl &url, QBuffer *body, qint64 maxBytes) {
        auto transfer = fetchIntoBuffer(m_signatureManager,
                                        makeRequest(url, m_target.transferTimeout, m_target.caCertificates), body,
                                        maxBytes, m_target.minimumRate);
        connect(transfer->reply(), &QNetworkReply::finished, this, &Update::metaFinished);
        return transfer;
    };
    if (!m_target.manifestUrl.isEmpty()) {
        m_manifestTransfer = fetch(m_target.manifestUrl, &m_manifestBody, Manifest::MaxTextSize);
        if (signedBuilds) {
            m_manifestSignatureTransfer = fetch(QUrl(m_target.manifestUrl.toString() + QStringLiteral(".sig")),
                                                &m_manifestSignatureBody, MaxSignatureFileSize);
        }
    }
    if (signedBuilds)
        m_transfer = fetch(m_target.signatureUrl, &m_signatureBody, MaxSignatureFileSize);
    if (!m_transfer && !m_manifestTransfer)
        requestBuild();
}

// Once the build's signature and manifest, where they are asked for, are in.
void Update::metaFinished()
{
    for (Transfer *transfer : {m_transfer.get(), m_manifestTransfer.get(), m_manifestSignatureTransfer.get()}) {
        if (transfer && !transfer->reply()->isFinished())
            return;
    }
    if (!isRunning())
        return;
    const std::unique_ptr<Transfer> signature = std::move(m_transfer);
    const std::unique_ptr<Transfer> manifest = std::move(m_manifestTransfer);
    const std::unique_ptr<Transfer> manifestSignature = std::move(m_manifestSignatureTransfer);
    QString error;
    if (manifest && !takeManifest(*manifest, manifestSignature.get(), &error))
        return end(false, error);
    if (!signature)
        return requestBuild();
    if (!signature->finish(Transfer::Expect::CompleteFile))
        return end(false, tr("The build's signature could not be fetched: %1").arg(signature->errorString()));
    m_signatureBody.close();
    m_signature = fromBase64Line(m_signatureBody.data(), SignatureSize);
    if (m_signature.isEmpty())
        return end(false, tr("The build's signature is malformed."));
    requestBuild();
}

// A server without the build's manifest (a folder laid out by hand) is served
// as before; one it has must name this build, and with a key be signed.
bool Update::takeManifest(Transfer &manifest, Transfer *signature, QString *error)
{
    const int status = manifest.reply()->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!manifest.finish(Transfer::Expect::CompleteFile)) {
        if (status >= 400 && status < 500) {
            SupportLog::write(QStringLiteral("No manifest for the build at %1: the server answered %2")
                                  .arg(m_target.manifestUrl.toString())
                                  .arg(status));
            return true;
        }
        *error = tr("The build's manifest could not be fetched: %1").arg(manifest.errorString());
        return false;
    }
    m_manifestBody.close();
    const QByteArray text = m_manifestBody.data();
    if (signature) {
        if (!signature->finish(Transfer::Expect::CompleteFile)) {
            *error = tr("The build's manifest is not signed: %1").arg(signature->errorString());
            return false;
        }
        m_manifestSignatureBody.close();
        ListingVerifier verifier(m_target.publicKeys, m_target.manifestFolder, 0, tr("build's manifest"));
        if (!verifier.verify(text, m_manifestSignatureBody.data())) {
            *error = verifier.errorString();
            return false;
        }
    }
    Manifest parsed;
    if (!parsed.parse(text)) {
        *error = parsed.errorString();
        return false;
    }
    const ManifestFile *file = parsed.find(m_target.signedName);
    if (parsed.release() != m_target.newIdentity || !file) {
        *error = tr("The build's manifest does not name %1.").arg(shortened(m_target.signedName));
        return false;
    }
    m_expected = *file;
    SupportLog::write(QStringLiteral("The build's manifest names %1 bytes, SHA-256 %2")
                          .arg(file->size)
                          .arg(QString::fromLatin1(file->sha256.toHex())));
    return true;
}

void Update::requestBuild()
{
    // The build's SHA-256, and its signature where one is checked, as it streams in;
    // they cover the whole file: the part already on the disk is hashed first.
    m_verifier = std::make_unique<VerifyingWriter>(m_staging->device(),
                                                   m_signature.isEmpty() ? QString() : m_target.signedName);
    if (m_resumeFrom.have > 0 && !m_verifier->hashExisting(m_staging->path(), m_resumeFrom.have))
        return end(false, tr("Cannot read %1 again.").arg(FileOps::nativePath(m_staging->path())));
    QIODevice *sink = m_verifier.get();
    // A file begun anew: nothing of the old bytes stays, in the file or in its signature's hash.
    const auto restart = [this] {
        // A record of the bytes that were would vouch for the new ones.
        const QString record = PartialRecord::pathFor(m_staging->path());
        if (FileOps::exists(record) && FileOps::removeFile(record) != 0)
            return false;
        m_recorded = 0;
        return m_staging->restart() && m_verifier->restart();
    };
    Fetch::Options options = fetchOptions(m_target);
    if (m_expected)
        options.maxBytes = m_expected->size;
    m_fetch = std::make_unique<Fetch>(m_buildManager, m_target.buildUrl, sink, restart, options, m_resumeFrom);
    follow(m_fetch.get());
    connect(m_fetch.get(), &Fetch::progress, this, &Update::progress);
    // Now and then what has come is flushed and recorded, so that a run that is
    // killed or loses its power leaves a partial the next one can continue.
    m_recorded = m_resumeFrom.have;
    connect(m_fetch.get(), &Fetch::progress, this, [this](qint64 have, qint64) {
        const bool first = m_recorded == 0 && have > 0;
        if ((first || have - m_recorded >= RecordEvery) && !m_fetch->point().validator.isEmpty()
            && m_staging->record(partialRecord()) == 0) {
            m_recorded = have;
        }
    });
    connect(m_fetch.get(), &Fetch::answered, this, &Update::checkRoom);
    m_fetch->start();
}

// Before anything is written: a build the drive cannot hold fails at once,
// instead of filling the drive that other programs use too.
void Update::checkRoom(qint64 length)
{
    if (length < 0)
        return;
    QStorageInfo drive(m_target.appDir);
    drive.refresh();
    const qint64 room = drive.bytesAvailable() - FreeSpaceMargin;
    // Where the drive has no hard links, the backup is a copy of the old program.
    const QString program = m_target.appDir + m_target.executableName;
    const qint64 copy = FileOps::exists(program) && !FileOps::takesHardLinks(m_staging->path() + ".probe")
        ? QFileInfo(program).size()
        : 0;
    if (!drive.isValid() || length + copy <= room)
        return;
    const QLocale locale;
    const QString free = locale.formattedDataSize(drive.bytesAvailable());
    m_fetch->abort(copy == 0
        ? tr("The build is %1, but the drive that holds the program has only %2 free.")
              .arg(locale.formattedDataSize(length), free)
        : tr("The build is %1, and this drive, which has no hard links, needs a copy of %2 to keep the previous "
             "version, but it has only %3 free.")
              .arg(locale.formattedDataSize(length), locale.formattedDataSize(copy), free));
}

void Update::downloadFinished(QNetworkReply *reply)
{
    if (!isRunning() || !m_fetch || m_fetch->handle(reply) != Fetch::Handled::Done)
        return;
    if (m_fetch->succeeded())
        downloadArrived();
    QString error;
    if (!install(&error))
        return end(false, error);
    SupportLog::write(QStringLiteral("Installed; the previous version is kept as ") + swap()->backupPath());
    watchNewProgram(m_target.appDir + m_target.executableName, m_target.healthCheckTime);
}

bool Update::install(QString *error)
{
    if (!m_fetch->succeeded()) {
        *error = m_fetch->errorString();
        return false;
    }
    if (!m_signature.isEmpty()) {
        if (!m_verifier->verify(m_target.publicKeys, m_signature)) {
            *error = tr("The build does not bear the publisher's signature.");
            return false;
        }
        SupportLog::write(QStringLiteral("Build signature verified: ") + m_target.buildUrl.fileName());
    }
    m_newSha256 = m_verifier->sha256();
    m_verifier.reset();
    const qint64 size = m_fetch->point().have;
    SupportLog::write(QStringLiteral("Downloaded %1 bytes.").arg(size));
    if (!m_staging->complete(size)) {
        *error = m_staging->errorString();
        return false;
    }
    // Whole now: what was recorded of it no longer says anything.
    if (FileOps::exists(PartialRecord::pathFor(m_staging->path())))
        FileOps::removeFile(PartialRecord::pathFor(m_staging->path()));
    // Before the swap, naming both programs: whether the update then stays or is
    // undone, the folder knows what it holds.
    const QString program = m_target.appDir + m_target.executableName;
    // Only the published bytes, however the download was continued.
    if (m_expected && (size != m_expected->size || m_newSha256 != m_expected->sha256)) {
        *error = tr("The build is not the file its manifest names.");
        return false;
    }
    QList<QPair<QByteArray, QString>> programs{{m_newSha256, m_target.newIdentity}};
    if (FileOps::exists(program))
        programs.append({HashCache(m_target.appDir, m_target.executableName).sha256(m_target.executableName),
                         m_target.backupName});
    if (const int code = InstalledRecord::write(m_target.appDir, m_target.executableName, programs)) {
        *error = tr("Cannot record what the folder holds in %1: %2")
                     .arg(FileOps::nativePath(InstalledRecord::path(m_target.appDir, m_target.executableName)),
                          FileOps::describe(code));
        return false;
    }
    Swap &swap = makeSwap(m_target.appDir, m_target.executableName);
    const SwapChange change{SwapChange::Kind::Replace, m_target.executableName, QFileInfo(m_staging->path()).fileName()};
    if (!swap.install({change}, m_target.backupName, Swap::Backup::BesideProgram)) {
        *error = swap.errorString();
        return false;
    }
    checked(m_target.executableName, m_newSha256);
    m_staging->release();
    return true;
}

PartialRecord Update::partialRecord() const
{
    const ResumePoint point = m_fetch->point();
    return {m_target.signedName, m_target.buildUrl.toString(), point.validator, point.total, point.have};
}

void Update::stopDownload(const QString &reason)
{
    if (m_fetch)
        return m_fetch->cancel(reason);
    if (m_transfer || m_manifestTransfer) {
        // Each one's end comes through metaFinished(), which ends the update once all are in.
        for (Transfer *transfer : {m_transfer.get(), m_manifestTransfer.get(), m_manifestSignatureTransfer.get()}) {
            if (transfer && !transfer->reply()->isFinished())
                transfer->abort(reason);
        }
        return;
    }
    end(false, reason);
}

void Update::end(bool succeeded, const QString &error)
{
    // A download that broke off stays for the next try, which continues it.
    if (!succeeded && m_fetch && m_fetch->brokeOff() && !m_fetch->point().validator.isEmpty() && m_staging
        && m_staging->keepForLater(partialRecord()) == 0) {
        SupportLog::write(QStringLiteral("Kept %1 of %2 bytes in %3 for the next try.")
                              .arg(m_fetch->point().have)
                              .arg(m_fetch->point().total)
                              .arg(m_staging->path()));
    }
    // The reply is still delivering its finished() signal: the transfer lets it go with deleteLater().
    m_transfer.reset();
    m_manifestTransfer.reset();
    m_manifestSignatureTransfer.reset();
    m_fetch.reset();
    m_verifier.reset();
    m_staging.reset();
    UpdateJob::end(succeeded, error);
}

} // namespace Tarvino
