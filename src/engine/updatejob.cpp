#include "updatejob.h"

#include "filedownload.h"
#include "hashcache.h"
#include "launchwatch.h"
#include "signature.h"
#include "supportlog.h"
#include "swap.h"
#include "transfer.h"

#include <QDir>
#include <QLocale>
#include <QNetworkReply>
#include <QProcess>
#include <QStorageInfo>

namespace Tarvino {

UpdateJob::UpdateJob(QObject *parent) : QObject(parent) {}

UpdateJob::~UpdateJob() = default;

Fetch::Options UpdateJob::fetchOptions(const UpdateSettings &settings)
{
    Fetch::Options options;
    options.transferTimeout = settings.transferTimeout;
    options.minimumRate = settings.minimumRate;
    options.caCertificates = settings.caCertificates;
    options.retries = settings.retries;
    options.firstPause = settings.firstRetryPause;
    return options;
}

void UpdateJob::start()
{
    if (m_running)
        return;
    begin();
    run();
}

void UpdateJob::fetchFile(std::unique_ptr<FileDownload> download, qint64 before, qint64 total, FileOps::Flush flush)
{
    m_download = std::move(download);
    m_flush = flush;
    connect(m_download.get(), &FileDownload::progress, this, [this, before, total](qint64 have, qint64 whole) {
        Q_EMIT progress(total < 0 ? have : qMin(before + have, total), total < 0 ? whole : total);
    });
    connect(m_download.get(), &FileDownload::checked, this, &UpdateJob::fileChecked);
    openFile();
}

void UpdateJob::openFile()
{
    if (!m_download->open())
        return end(false, m_download->errorString());
    Fetch *fetch = m_download->fetch();
    if (!fetch)
        return fileDone();
    follow(fetch);
    connect(fetch, &Fetch::answered, this, &UpdateJob::fileAnswered);
    fetch->start();
}

void UpdateJob::downloadFinished(QNetworkReply *reply)
{
    if (m_running && m_download && m_download->handle(reply) == Fetch::Handled::Done)
        fileDone();
}

void UpdateJob::fileDone()
{
    if (m_download->finish(m_flush) == FileDownload::Check::Done)
        fileChecked();
}

void UpdateJob::fileChecked()
{
    if (!m_download->isWhole() && !m_cancelled && m_download->fallBack())
        return openFile();
    fileFetched();
}

void UpdateJob::begin()
{
    m_running = true;
    m_succeeded = false;
    m_launched = false;
    m_downloaded = false;
    m_cancelled = false;
    m_runningNow = Running::Nothing;
    m_error.clear();
    m_patchText = m_patchSignatureText = -1;
    m_patches = PatchList();
}

void UpdateJob::downloadArrived()
{
    m_downloaded = true;
    Q_EMIT downloaded();
}

bool UpdateJob::cancel()
{
    // Once a form is decoding, its bytes are all here: nothing is left to stop.
    if (!m_running || m_downloaded || (m_download && m_download->isDecoding()))
        return false;
    m_cancelled = true;
    SupportLog::write(QStringLiteral("Download stopped by the user."));
    stopDownload(tr("The download was stopped."));
    return true;
}

int UpdateJob::Text::status() const
{
    return transfer->reply()->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool UpdateJob::Text::take(QByteArray *bytes)
{
    if (!transfer->finish(Transfer::Expect::CompleteFile))
        return false;
    body.close();
    *bytes = body.data();
    return true;
}

QString UpdateJob::Text::errorString() const
{
    return transfer->errorString();
}

int UpdateJob::fetchText(const QUrl &url, qint64 maxBytes, const UpdateSettings &settings)
{
    auto text = std::make_unique<Text>();
    text->transfer = fetchIntoBuffer(m_textManager, makeRequest(url, settings.transferTimeout, settings.caCertificates),
                                     &text->body, maxBytes, settings.minimumRate);
    connect(text->transfer->reply(), &QNetworkReply::finished, this, &UpdateJob::textFinished);
    m_texts.push_back(std::move(text));
    return int(m_texts.size()) - 1;
}

void UpdateJob::textFinished()
{
    for (const auto &text : m_texts) {
        if (!text->transfer->reply()->isFinished())
            return;
    }
    if (!m_running || m_texts.empty())
        return;
    // The replies are still delivering their finished() signal: the transfers let them go with deleteLater().
    Texts texts = std::move(m_texts);
    m_texts.clear();
    textsArrived(texts);
}

bool UpdateJob::fail(const QString &error)
{
    m_error = error;
    return false;
}

bool UpdateJob::hasRoom(const QString &appDir, const QString &amount, qint64 needed, qint64 copy)
{
    // Left free on the program's drive, for the system and other programs.
    constexpr qint64 Margin = 32 * 1024 * 1024;
    QStorageInfo drive(appDir);
    drive.refresh();
    if (!drive.isValid() || needed + copy <= drive.bytesAvailable() - Margin)
        return true;
    const QLocale locale;
    const QString free = locale.formattedDataSize(drive.bytesAvailable());
    if (copy == 0)
        return fail(tr("%1, but the drive that holds the program has only %2 free.").arg(amount, free));
    return fail(tr("%1, and this drive, which has no hard links, needs a copy of %2 to keep the previous version, "
                   "but it has only %3 free.")
                    .arg(amount, locale.formattedDataSize(copy), free));
}

bool UpdateJob::takeManifest(Text &manifest, Text *signature, const UpdateSettings &settings,
                             const QString &signedFolder, const QString &what, QByteArray *text)
{
    if (!manifest.take(text))
        return fail(tr("The %1 could not be fetched: %2").arg(what, manifest.errorString()));
    if (!signature)
        return true;
    QByteArray signatureText;
    if (!signature->take(&signatureText)) {
        return fail(signature->status() == 404
                        ? tr("The %1 is not signed: the server has no signature for it.").arg(what)
                        : tr("The %1's signature could not be fetched: %2").arg(what, signature->errorString()));
    }
    ListingVerifier verifier(settings.publicKeys, signedFolder, 0, what);
    if (!verifier.verify(*text, signatureText))
        return fail(verifier.errorString());
    SupportLog::write(QStringLiteral("Signature verified: ") + signedFolder);
    return true;
}

void UpdateJob::fetchPatchList(const QUrl &url, const UpdateSettings &settings)
{
    m_patchText = fetchText(url, PatchList::MaxTextSize, settings);
    if (!settings.publicKeys.isEmpty())
        m_patchSignatureText = fetchText(QUrl(url.toString() + QStringLiteral(".sig")), MaxSignatureFileSize, settings);
}

void UpdateJob::takePatchList(Texts &texts, const Manifest &manifest, const UpdateSettings &settings,
                              const QString &signedFolder)
{
    m_patches = PatchList();
    if (m_patchText < 0)
        return;
    Text &list = *texts.at(m_patchText);
    QByteArray text;
    if (!list.take(&text)) {
        SupportLog::write(QStringLiteral("No list of patches: ") + list.errorString());
        return;
    }
    if (m_patchSignatureText >= 0) {
        QByteArray signature;
        ListingVerifier verifier(settings.publicKeys, signedFolder + QStringLiteral("/patches"), 0,
                                 tr("list of patches"));
        if (!texts.at(m_patchSignatureText)->take(&signature) || !verifier.verify(text, signature)) {
            SupportLog::write(QStringLiteral("The list of patches is not taken: it is not signed for ") + signedFolder
                              + QStringLiteral("/patches. ") + verifier.errorString());
            return;
        }
    }
    if (!m_patches.parse(text, manifest)) {
        SupportLog::write(m_patches.errorString() + QStringLiteral(" The files are fetched as they are."));
        return;
    }
    SupportLog::write(QStringLiteral("A list of patches is taken."));
}

void UpdateJob::stopDownload(const QString &reason)
{
    if (m_download && m_download->fetch())
        return m_download->fetch()->cancel(reason);
    if (!m_texts.empty()) {
        // Each one's end comes through textFinished(), which ends the update once all are in.
        for (const auto &text : m_texts) {
            if (!text->transfer->reply()->isFinished())
                text->transfer->abort(reason);
        }
        return;
    }
    end(false, reason);
}

void UpdateJob::watchNewProgram(const QString &program, std::chrono::milliseconds watchTime)
{
    m_launched = true;
    m_launch = std::make_unique<LaunchWatch>();
    connect(m_launch.get(), &LaunchWatch::finished, this, [this, program] { launchFinished(program); });
    m_launch->start(program, QDir::currentPath(), watchTime);
}

void UpdateJob::restartPrevious(const QString &program)
{
    m_launched = true;
    if (QProcess::startDetached(program, {}))
        m_runningNow = Running::PreviousVersion;
}

void UpdateJob::follow(Fetch *fetch)
{
    connect(fetch, &Fetch::retrying, this, [this](const QString &note) {
        SupportLog::write(QStringLiteral("Download broke off: ") + note);
        Q_EMIT notice(note);
    });
    connect(fetch, &Fetch::stopped, this, [this, fetch] { end(false, fetch->errorString()); });
}

Swap &UpdateJob::makeSwap(const QString &appDir, const QString &executableName)
{
    m_appDir = appDir;
    m_executableName = executableName;
    m_checked.clear();
    m_swap = std::make_unique<Swap>(appDir, executableName);
    return *m_swap;
}

bool UpdateJob::rollback()
{
    return m_swap->rollback() || fail(m_swap->errorString());
}

bool UpdateJob::commit()
{
    const bool done = m_swap->commit() || fail(m_swap->errorString());
    HashCache hashes(m_appDir, m_executableName);
    for (const auto &[path, sha256] : std::as_const(m_checked))
        hashes.note(path, sha256);
    hashes.save();
    for (const QString &name : m_swap->pruned())
        SupportLog::write(QStringLiteral("Removed the backup of an older release: ") + name);
    return done;
}

void UpdateJob::launchFinished(const QString &program)
{
    if (m_launch->outcome() == LaunchWatch::Outcome::Failed) {
        const QString why = m_launch->errorString();
        SupportLog::write(QStringLiteral("The new version could not run: ") + why);
        if (!rollback())
            return end(false, tr("The new version could not run on this computer: %1. %2").arg(why, errorString()));
        restartPrevious(program);
        return end(false, tr("The new version could not run on this computer: %1. The previous version was "
                             "restored.").arg(why));
    }
    const bool runs = m_launch->outcome() == LaunchWatch::Outcome::Running;
    m_runningNow = runs ? Running::NewVersion : Running::Nothing;
    SupportLog::write(runs ? QStringLiteral("The new version runs.")
                           : QStringLiteral("The new version ran and ended with status 0."));
    if (!commit())
        return end(false, tr("The new version runs, but the update could not be completed: %1").arg(errorString()));
    end(true);
}

void UpdateJob::end(bool succeeded, const QString &error)
{
    // A download that broke off stays for the next try, which continues it.
    if (!succeeded && m_download)
        m_download->keepForLater();
    m_texts.clear();
    m_download.reset();
    SupportLog::write(succeeded ? QStringLiteral("Update done.") : QStringLiteral("Update failed: ") + error);
    m_error = error;
    m_running = false;
    m_succeeded = succeeded;
    Q_EMIT finished(succeeded);
}

} // namespace Tarvino
