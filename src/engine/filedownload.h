#pragma once

#include "fetch.h"
#include "fileops.h"
#include "manifest.h"
#include "patchlist.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QThread;

namespace Tarvino {

class StagingFile;
class Unpack;
class VerifyingWriter;
struct PartialRecord;

// One file of an update, a single build or one of a release's: streamed into
// its staged name on the folder's drive and hashed (its signature checked,
// where it has one) as it arrives; flushed and recorded now and then, so that
// a run that is killed or loses its power leaves what a later one continues;
// and at its end checked whole against what its manifest names. The staged
// file is removed again unless it was kept for later or handed on.
//
// Where the file has smaller forms (a patch from what the folder holds, a
// compressed copy), the best is fetched instead, into a staged file of its
// own, checked, and decoded into the file's staged name; a form that cannot be
// had or gives other bytes makes way for the next, the file itself last.
class FileDownload : public QObject
{
    Q_OBJECT

public:
    struct Source
    {
        QUrl url;
        QString entry;  // the file's name as signed, or as its manifest names it
        QString shown;  // what messages call it ("The build", "lib.dll of the release")
        std::optional<ManifestFile> expected; // its size and SHA-256, where they are known
        QByteArray signature;                 // empty: none is checked
        QList<QByteArray> publicKeys;
        // Its smaller forms, best first (only with expected), fetched from packedFolder;
        // base is the folder's file a patch applies to, packedStaging where a form is staged.
        QList<PackedFile> packed = {};
        QUrl packedFolder = {};
        QString base = {};
        std::function<std::unique_ptr<StagingFile>()> packedStaging = {};
    };

    FileDownload(QNetworkAccessManager &manager, std::unique_ptr<StagingFile> staging, Source source,
                 const Fetch::Options &options, QObject *parent = nullptr);
    ~FileDownload() override;

    // Opens the staged file, continuing what an earlier run left of this
    // source, and makes the fetch of what is missing, for the owner to follow
    // and start; false when the file cannot be had. An empty file has no
    // fetch: handle(nullptr) ends it.
    bool open();
    // Done: the download has ended, and finish() says how.
    Fetch::Handled handle(QNetworkReply *reply);
    enum class Check { Done, Decoding };
    // Checks whether the file arrived whole, flushed to the disk (unless the
    // owner flushes many at once later), and is what its signature and
    // manifest say; isWhole() then says how. A form is decoded on a thread of
    // its own, beside the event loop: Decoding, and checked() follows.
    Check finish(FileOps::Flush flush = FileOps::Flush::Now);
    bool isDecoding() const { return m_decoding != nullptr; }
    // After finish() failed for a smaller form: whether the next one (or the
    // file itself) is to be tried, with open() again. Not after a download that
    // broke off or was stopped, which a later try continues.
    bool fallBack();
    // Whether finish() found the file whole and good.
    bool isWhole() const { return m_whole; }
    // The form being fetched: null for the file itself.
    const PackedFile *packed() const { return m_source.packed.isEmpty() ? nullptr : &m_source.packed.constFirst(); }
    // After a failure: what came stays, with its record, for a later run. Whether it does.
    bool keepForLater();
    // The staged file lives on elsewhere (installed, or with its staging folder).
    void release();

    Fetch *fetch() const { return m_fetch.get(); }
    QString path() const;
    qint64 have() const;
    QByteArray sha256() const { return m_sha256; }
    QString errorString() const { return m_error; }

Q_SIGNALS:
    void progress(qint64 have, qint64 total);
    // A form's decoding has ended, and with it the check.
    void checked();

private:
    PartialRecord record() const;
    static QString describe(const PackedFile &form);
    bool fail(const QString &error);
    bool checkWhole(FileOps::Flush flush);
    Check unpack(FileOps::Flush flush);
    bool decoded(FileOps::Flush flush);
    // Where what is fetched now goes: the form's own staged file, or the file's.
    StagingFile &sink() const { return m_packedFile ? *m_packedFile : *m_staging; }

    QNetworkAccessManager &m_manager;
    Source m_source;
    const Fetch::Options m_options;
    // In this order: each writes into one declared before it.
    std::unique_ptr<StagingFile> m_staging;
    std::unique_ptr<StagingFile> m_packedFile;
    std::unique_ptr<VerifyingWriter> m_verifier;
    std::unique_ptr<Fetch> m_fetch;
    std::unique_ptr<Unpack> m_decoder;
    std::unique_ptr<QThread> m_decoding; // runs m_decoder, which writes into m_staging
    qint64 m_recorded = 0;
    bool m_kept = false;
    bool m_whole = false;
    QUrl m_url;     // what is fetched now, and its name in the record
    QString m_entry;
    QByteArray m_sha256;
    QString m_error;
};

} // namespace Tarvino
