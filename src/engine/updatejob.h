#pragma once

#include "fetch.h"
#include "fileops.h"
#include "patchlist.h"

#include <QBuffer>
#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSslCertificate>
#include <QString>

#include <chrono>
#include <memory>
#include <vector>

class QNetworkReply;

namespace Tarvino {

class FileDownload;
class LaunchWatch;
class Manifest;
class Swap;
class Transfer;

// What every update needs to know, whatever it installs.
struct UpdateSettings
{
    QString appDir;           // the application directory, ending in "/"
    QString executableName;   // the installed program in appDir, watched when the new one starts
    QString backupName;       // what keeps the previous version afterwards: its identity
    QList<QByteArray> publicKeys; // empty: nothing is signature-checked
    std::chrono::milliseconds transferTimeout{30000};
    MinimumRate minimumRate;
    // How long the new program is watched before it counts as running: a
    // version that cannot run here ends within that time.
    std::chrono::milliseconds healthCheckTime{3000};
    QList<QSslCertificate> caCertificates; // trusted besides the system's
    // A download that breaks off is continued this many times, after pauses
    // that double from the first.
    int retries = 5;
    std::chrono::milliseconds firstRetryPause{1000};
};

// What every kind of update has in common: its end, and the start of the new
// program, which is watched for a while and committed once it has run, or
// undone (the previous version put back and started) when it cannot run here.
// finished() is emitted once, on success or on the first failure.
class UpdateJob : public QObject
{
    Q_OBJECT

public:
    enum class Running { Nothing, NewVersion, PreviousVersion };

    explicit UpdateJob(QObject *parent = nullptr);
    ~UpdateJob() override;

    void start();
    // Replies of the manager the job was given, handed on by whoever receives its finished().
    void downloadFinished(QNetworkReply *reply);

    // After finished(): whether the new version is installed and running.
    bool succeeded() const { return m_succeeded; }
    QString errorString() const { return m_error; }
    // Whether a program was started, the new build or, after it failed, the
    // previous version: then nothing else is to start one for this update.
    bool launched() const { return m_launched; }
    // Which version the update left running, as far as the updater knows.
    Running running() const { return m_runningNow; }

    // Stops the download at the user's word, keeping what arrived for the next
    // update, which continues it. False, doing nothing, once the download has
    // arrived (or a form of a file is being decoded): from then on the update runs to its end.
    bool cancel();
    bool cancelled() const { return m_cancelled; }

Q_SIGNALS:
    void progress(qint64 received, qint64 total);
    // Something the user should know while the update goes on (a download tried again).
    void notice(const QString &text);
    // All is downloaded and checked; the installation begins and cannot be stopped.
    void downloaded();
    void finished(bool succeeded);

protected:
    // A text the update reads before its files (a manifest, a signature), kept in memory.
    struct Text
    {
        QBuffer body;
        std::unique_ptr<Transfer> transfer; // writes into body
        int status() const;
        // Whether it came whole (a 200 with a body), and then its bytes.
        bool take(QByteArray *bytes);
        QString errorString() const;
    };
    using Texts = std::vector<std::unique_ptr<Text>>;

    bool isRunning() const { return m_running; }
    // What start() begins: the texts the update reads first, or its files.
    virtual void run() = 0;
    void downloadArrived();
    // Asks for a text at once; returns its place in what textsArrived() is handed.
    int fetchText(const QUrl &url, qint64 maxBytes, const UpdateSettings &settings);
    // Once every text asked for has ended, well or not.
    virtual void textsArrived(Texts &texts) = 0;
    // A manifest's text; with keys, only as signed for signedFolder. What names it in messages ("release's manifest").
    bool takeManifest(Text &manifest, Text *signature, const UpdateSettings &settings, const QString &signedFolder,
                      const QString &what, QByteArray *text);
    // For the job's own steps, as QIODevice does: notes why, for errorString(), and returns false.
    bool fail(const QString &error);
    // Whether the folder's drive has room for `needed` bytes and a copy of `copy`
    // more, beside what it leaves to the system and other programs; else fail()
    // says so, after `amount` ("The build is 2 MiB").
    bool hasRoom(const QString &appDir, const QString &amount, qint64 needed, qint64 copy = 0);
    // The new version is in place: starts it and watches it, then commits or rolls back.
    void watchNewProgram(const QString &program, std::chrono::milliseconds watchTime);
    // The one swap that installs this update, made with the folder's names; null before.
    Swap &makeSwap(const QString &appDir, const QString &executableName);
    Swap *swap() const { return m_swap.get(); }
    // A file the swap moves in whose bytes were checked: its SHA-256 is noted
    // at the commit, so that a later start or update need not read it.
    void checked(const QString &path, const QByteArray &sha256) { m_checked.append({path, sha256}); }
    // Starts the previous version after a rollback.
    void restartPrevious(const QString &program);
    // What every fetch of the job shares: the limits and retries.
    static Fetch::Options fetchOptions(const UpdateSettings &settings);
    // A fetch's tries again are told to the user and the log; one stopped between tries ends the job.
    void follow(Fetch *fetch);
    virtual void end(bool succeeded, const QString &error = {});

    // The list of the files' smaller forms beside the manifest, asked for with it (with keys, with its signature).
    void fetchPatchList(const QUrl &url, const UpdateSettings &settings);
    // Once the manifest is read: the list, where the server has a good one
    // (with keys, signed for signedFolder + "/patches"); else every file is
    // fetched as it is, which costs bytes but nothing else.
    void takePatchList(Texts &texts, const Manifest &manifest, const UpdateSettings &settings,
                       const QString &signedFolder);
    const PatchList &patchList() const { return m_patches; }

    // Opens the file and fetches it, taking the next of its forms when one
    // cannot be had; then finishes it (flushed now, or later with others), and
    // fileFetched() follows, or the update ends. Its progress is told as of all
    // the update fetches: before it, and in all (-1: the file's own length).
    void fetchFile(std::unique_ptr<FileDownload> download, qint64 before = 0, qint64 total = -1,
                   FileOps::Flush flush = FileOps::Flush::Now);
    // The file's fetch has ended, well or not (m_download->isWhole() says which).
    virtual void fileFetched() = 0;
    // The server's answer says how much is still to come, before any of it is written.
    virtual void fileAnswered(qint64 length) { Q_UNUSED(length); }

    // The file being fetched: what a stop or a failure keeps for the next try.
    std::unique_ptr<FileDownload> m_download;

private:
    void begin();
    void openFile();
    void fileDone();
    void fileChecked();
    void textFinished();
    // Ends whatever transfer runs, failing with this reason; the fetch keeps what came.
    void stopDownload(const QString &reason);
    void launchFinished(const QString &program);
    // Puts the previous version back (false and the reason when it cannot be done now).
    bool rollback();
    bool commit();

    bool m_running = false;
    bool m_succeeded = false;
    bool m_launched = false;
    bool m_downloaded = false;
    bool m_cancelled = false;
    Running m_runningNow = Running::Nothing;
    QString m_error;
    std::unique_ptr<LaunchWatch> m_launch;
    std::unique_ptr<Swap> m_swap;
    QString m_appDir;
    QString m_executableName;
    QList<QPair<QString, QByteArray>> m_checked;
    QNetworkAccessManager m_textManager;
    Texts m_texts;
    int m_patchText = -1;
    int m_patchSignatureText = -1;
    PatchList m_patches;
    FileOps::Flush m_flush = FileOps::Flush::Now;
};

} // namespace Tarvino
