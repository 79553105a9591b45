#include "filedownload.h"

#include "fileops.h"
#include "signature.h"
#include "stagingfile.h"
#include "supportlog.h"
#include "unpack.h"

#include <QThread>

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

FileDownload::~FileDownload()
{
    // The decoder writes into the staged file, which goes with this.
    if (m_decoding)
        m_decoding->wait();
}

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
    return {m_entry, m_url.toString(), point.validator, point.total, point.have};
}

QString FileDownload::describe(const PackedFile &form)
{
    return form.kind == PackedFile::Kind::Patch ? tr("the patch of %1").arg(FileOps::nativePath(form.path))
                                                 : tr("the compressed copy of %1").arg(FileOps::nativePath(form.path));
}

bool FileDownload::open()
{
    m_whole = false;
    m_error.clear();
    // A form is only taken for a file whose bytes its manifest names, and with a place to stage it.
    if (!m_source.expected || !m_source.packedStaging)
        m_source.packed.clear();
    const PackedFile *form = packed();
    if (form) {
        m_packedFile = m_source.packedStaging();
        m_url = m_source.packedFolder.resolved(QUrl(form->relativeUrl()));
        m_entry = m_source.entry + u' ' + form->tag();
        SupportLog::write(QStringLiteral("Fetching %1 (%2 bytes instead of %3)")
                              .arg(describe(*form))
                              .arg(form->size)
                              .arg(m_source.expected->size));
    } else {
        m_packedFile.reset();
        m_url = m_source.url;
        m_entry = m_source.entry;
    }
    StagingFile &staging = sink();
    PartialRecord partial;
    ResumePoint from;
    const qint64 size = form ? form->size : m_source.expected ? m_source.expected->size : -1;
    if (staging.openPartial(m_url.toString(), m_entry, &partial) && (size < 0 || partial.total == size)) {
        from = {partial.have, partial.total, partial.validator};
        SupportLog::write(QStringLiteral("Continuing the %1 of %2 bytes an earlier run left in %3")
                              .arg(partial.have).arg(partial.total).arg(staging.path()));
    } else if (!staging.open()) {
        return fail(staging.errorString());
    }
    // Its SHA-256, and its signature where one is checked, cover the whole
    // file: the part already on the disk is hashed first.
    const bool signedFile = !form && !m_source.signature.isEmpty();
    m_verifier = std::make_unique<VerifyingWriter>(staging.device(), signedFile ? m_source.entry : QString());
    if (from.have > 0 && !m_verifier->hashExisting(staging.path(), from.have))
        return fail(tr("Cannot read %1 again.").arg(FileOps::nativePath(staging.path())));
    if (size == 0)
        return true;
    // A file begun anew: nothing of the old bytes stays, in the file, its hashes or its record.
    const auto restart = [this] {
        const QString record = PartialRecord::pathFor(sink().path());
        if (FileOps::exists(record) && FileOps::removeFile(record) != 0)
            return false;
        m_recorded = 0;
        return sink().restart() && m_verifier->restart();
    };
    Fetch::Options options = m_options;
    if (size >= 0)
        options.maxBytes = size;
    m_fetch = std::make_unique<Fetch>(m_manager, m_url, m_verifier.get(), restart, options, from);
    connect(m_fetch.get(), &Fetch::progress, this, &FileDownload::progress);
    m_recorded = from.have;
    connect(m_fetch.get(), &Fetch::progress, this, [this](qint64 have, qint64 total) {
        // A file no larger than the step costs no more to fetch again than a kill may lose anyway.
        if (total >= 0 && total <= RecordEvery)
            return;
        const bool first = m_recorded == 0 && have > 0;
        if ((first || have - m_recorded >= RecordEvery) && !m_fetch->point().validator.isEmpty()
            && sink().record(record()) == 0) {
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

FileDownload::Check FileDownload::finish(FileOps::Flush flush)
{
    m_whole = false;
    if (m_fetch && !m_fetch->succeeded()) {
        fail(m_fetch->errorString());
        return Check::Done;
    }
    if (m_packedFile)
        return unpack(flush);
    m_whole = checkWhole(flush);
    return Check::Done;
}

bool FileDownload::checkWhole(FileOps::Flush flush)
{
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

// The form fetched is checked against the list, then decoded into the file's
// staged name beside the event loop (a large program takes a second or two);
// decoded() checks the file against the manifest. Nothing of the form stays.
FileDownload::Check FileDownload::unpack(FileOps::Flush flush)
{
    const PackedFile form = *packed();
    const QByteArray formSha256 = m_verifier->sha256();
    m_verifier.reset();
    const qint64 got = have();
    if (!m_packedFile->complete(got, FileOps::Flush::Later)) {
        fail(m_packedFile->errorString());
        return Check::Done;
    }
    if (got != form.size || formSha256 != form.sha256) {
        fail(tr("%1 is not the file the list of patches names.").arg(describe(form)));
        return Check::Done;
    }
    if (!m_staging->open()) {
        fail(m_staging->errorString());
        return Check::Done;
    }
    m_decoder = std::make_unique<Unpack>();
    const QString packedPath = m_packedFile->path();
    const QString base = form.kind == PackedFile::Kind::Patch ? m_source.base : QString();
    const qint64 size = m_source.expected->size;
    m_decoding.reset(QThread::create([this, packedPath, base, size] {
        m_decoder->run(packedPath, base, m_staging->file(), size);
    }));
    connect(m_decoding.get(), &QThread::finished, this, [this, flush] {
        m_decoding->wait();
        m_decoding.reset();
        m_whole = decoded(flush);
        Q_EMIT checked();
    });
    m_decoding->start();
    return Check::Decoding;
}

bool FileDownload::decoded(FileOps::Flush flush)
{
    const PackedFile form = *packed();
    const std::unique_ptr<Unpack> decoder = std::move(m_decoder);
    m_packedFile.reset();
    if (decoder->sha256().isEmpty()) {
        m_staging->discard();
        return fail(decoder->errorString());
    }
    m_sha256 = decoder->sha256();
    if (m_sha256 != m_source.expected->sha256) {
        m_staging->discard();
        return fail(tr("%1 does not give the file its manifest names.").arg(describe(form)));
    }
    if (!m_staging->complete(m_source.expected->size, flush))
        return fail(m_staging->errorString());
    SupportLog::write(QStringLiteral("Decoded %1 into %2 bytes.").arg(describe(form)).arg(m_source.expected->size));
    return true;
}

bool FileDownload::fallBack()
{
    const PackedFile *form = packed();
    if (!form || (m_fetch && m_fetch->brokeOff()))
        return false;
    const QString next = m_source.packed.size() > 1 ? describe(m_source.packed.at(1)) : QStringLiteral("the file itself");
    SupportLog::write(QStringLiteral("Cannot use %1: %2 Taking %3.").arg(describe(*form), m_error, next));
    m_source.packed.removeFirst();
    m_fetch.reset();
    m_verifier.reset();
    m_packedFile.reset();
    m_staging->discard();
    return true;
}

bool FileDownload::keepForLater()
{
    if (m_kept || !m_fetch || !m_fetch->brokeOff() || m_fetch->point().validator.isEmpty())
        return m_kept;
    if (sink().keepForLater(record()) != 0)
        return false;
    m_kept = true;
    SupportLog::write(QStringLiteral("Kept %1 of %2 bytes in %3 for the next try.")
                          .arg(m_fetch->point().have)
                          .arg(m_fetch->point().total)
                          .arg(sink().path()));
    return true;
}

void FileDownload::release()
{
    m_staging->release();
}

} // namespace Tarvino
