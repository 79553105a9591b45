#include "filedownload.h"

#include "fileops.h"
#include "signature.h"
#include "stagingfile.h"
#include "supportlog.h"

namespace Tarvino {

namespace {
// How often a download's progress is flushed and recorded for a later run,
// besides at its first bytes. A read brings at most 1 MiB (the reply's buffer):
// a run killed after N MiB leaves a record of at least N - 4 MiB.
constexpr qint64 RecordEvery = 3 * 1024 * 1024;
}

FileDownload::FileDownload(QNetworkAccessManager &manager, std::unique_ptr<StagingFile> staging, Source source,
                           const Fetch::Options &options, QObject *parent)
    : QObject(parent), m_manager(manager), m_source(std::move(source)), m_options(options),
      m_staging(std::move(staging))
{
}

FileDownload::~FileDownload() = default;

QString FileDownload::path() const
{
    return m_staging->path();
}

qint64 FileDownload::have() const
{
    return m_fetch ? m_fetch->point().have : 0;
}

bool FileDownload::fail(const QString &error)
{
    m_error = error;
    return false;
}

PartialRecord FileDownload::record() const
{
    const ResumePoint point = m_fetch->point();
    return {m_source.entry, m_source.url.toString(), point.validator, point.total, point.have};
}

bool FileDownload::open()
{
    PartialRecord partial;
    ResumePoint from;
    const qint64 size = m_source.expected ? m_source.expected->size : -1;
    if (m_staging->openPartial(m_source.url.toString(), m_source.entry, &partial)
        && (size < 0 || partial.total == size)) {
        from = {partial.have, partial.total, partial.validator};
        SupportLog::write(QStringLiteral("Continuing the %1 of %2 bytes an earlier run left in %3")
                              .arg(partial.have).arg(partial.total).arg(m_staging->path()));
    } else if (!m_staging->open()) {
        return fail(m_staging->errorString());
    }
    // Its SHA-256, and its signature where one is checked, cover the whole
    // file: the part already on the disk is hashed first.
    m_verifier = std::make_unique<VerifyingWriter>(m_staging->device(),
                                                   m_source.signature.isEmpty() ? QString() : m_source.entry);
    if (from.have > 0 && !m_verifier->hashExisting(m_staging->path(), from.have))
        return fail(tr("Cannot read %1 again.").arg(FileOps::nativePath(m_staging->path())));
    if (size == 0)
        return true;
    // A file begun anew: nothing of the old bytes stays, in the file, its hashes or its record.
    const auto restart = [this] {
        const QString record = PartialRecord::pathFor(m_staging->path());
        if (FileOps::exists(record) && FileOps::removeFile(record) != 0)
            return false;
        m_recorded = 0;
        return m_staging->restart() && m_verifier->restart();
    };
    Fetch::Options options = m_options;
    if (size >= 0)
        options.maxBytes = size;
    m_fetch = std::make_unique<Fetch>(m_manager, m_source.url, m_verifier.get(), restart, options, from);
    connect(m_fetch.get(), &Fetch::progress, this, &FileDownload::progress);
    m_recorded = from.have;
    connect(m_fetch.get(), &Fetch::progress, this, [this](qint64 have, qint64 total) {
        // A file no larger than the step costs no more to fetch again than a kill may lose anyway.
        if (total >= 0 && total <= RecordEvery)
            return;
        const bool first = m_recorded == 0 && have > 0;
        if ((first || have - m_recorded >= RecordEvery) && !m_fetch->point().validator.isEmpty()
            && m_staging->record(record()) == 0) {
            m_recorded = have;
        }
    });
    return true;
}

Fetch::Handled FileDownload::handle(QNetworkReply *reply)
{
    if (m_fetch)
        return m_fetch->handle(reply);
    return reply ? Fetch::Handled::NotOurs : Fetch::Handled::Done;
}

bool FileDownload::finish(FileOps::Flush flush)
{
    if (m_fetch && !m_fetch->succeeded())
        return fail(m_fetch->errorString());
    if (!m_source.signature.isEmpty() && !m_verifier->verify(m_source.publicKeys, m_source.signature))
        return fail(tr("%1 does not bear the publisher's signature.").arg(m_source.shown));
    m_sha256 = m_verifier->sha256();
    m_verifier.reset();
    const qint64 size = have();
    if (!m_staging->complete(size, flush))
        return fail(m_staging->errorString());
    // Whole now: what was recorded of it no longer says anything.
    const QString record = PartialRecord::pathFor(m_staging->path());
    if (FileOps::exists(record))
        FileOps::removeFile(record);
    // Only the published bytes, however the download was continued.
    if (m_source.expected && (size != m_source.expected->size || m_sha256 != m_source.expected->sha256))
        return fail(tr("%1 is not the file its manifest names.").arg(m_source.shown));
    return true;
}

bool FileDownload::keepForLater()
{
    if (m_kept || !m_fetch || !m_fetch->brokeOff() || m_fetch->point().validator.isEmpty())
        return m_kept;
    if (m_staging->keepForLater(record()) != 0)
        return false;
    m_kept = true;
    SupportLog::write(QStringLiteral("Kept %1 of %2 bytes in %3 for the next try.")
                          .arg(m_fetch->point().have)
                          .arg(m_fetch->point().total)
                          .arg(m_staging->path()));
    return true;
}

void FileDownload::release()
{
    m_staging->release();
}

} // namespace Tarvino
