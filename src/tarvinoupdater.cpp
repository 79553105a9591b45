#include "tarvinoupdater.h"

#include "identity.h"
#include "installation.h"
#include "listing.h"
#include "signature.h"
#include "transfer.h"
#include "urls.h"

#include <QApplication>
#include <QBuffer>
#include <QDebug>
#include <QDialogButtonBox>
#include <QFile>
#include <QFrame>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLocale>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr qint64 MaxListingSize = 16 * 1024 * 1024;
constexpr qint64 MaxSignatureSize = 4096;
const QString SideFileName = QStringLiteral("ListOfExecutables.html");

QNetworkRequest makeRequest(const QUrl &url, std::chrono::milliseconds timeout)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(int(timeout.count()));
    return request;
}

} // namespace

TarvinoUpdater::TarvinoUpdater(const Tarvino::UpdaterContext &context)
    : QWidget(nullptr), context(context)
{
    QCoreApplication::setApplicationName(QStringLiteral("Tarvíno updater"));
    QCoreApplication::setOrganizationName(QStringLiteral("Norvane Software"));
    setWindowTitle(QCoreApplication::applicationName());
    setObjectName(windowTitle());
    setAttribute(Qt::WA_CustomWhatsThis, true);
    setWindowIcon(QIcon(QStringLiteral(":/images/png/512/Tarvino-1.png")));

    auto *layout = new QVBoxLayout(this);
    setLayout(layout);

    connect(&listManager, &QNetworkAccessManager::finished, this, &TarvinoUpdater::downloadFinished);
    connect(&downloadManager, &QNetworkAccessManager::finished, this,
            &TarvinoUpdater::downloadFinished2);

    platform = QStringLiteral("Windows");
    executableName = QStringLiteral("Tarvíno.exe");
    appDir = (context.appDir.isEmpty() ? QCoreApplication::applicationDirPath() : context.appDir)
        + u'/';

    label = new QLabel(this);
    layout->addWidget(label);

    auto *line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    layout->addWidget(line);

    buttonBox = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Close, this);
    buttonBox->button(QDialogButtonBox::Ok)->setEnabled(false);
    buttonBox->button(QDialogButtonBox::Cancel)->setEnabled(false);
    connect(buttonBox->button(QDialogButtonBox::Ok), SIGNAL(clicked()), this, SLOT(okSlot()));
    connect(buttonBox->button(QDialogButtonBox::Cancel), SIGNAL(clicked()), this,
            SLOT(cancelSlot()));
    connect(buttonBox->button(QDialogButtonBox::Close), SIGNAL(clicked()), this,
            SLOT(closeSlot()));
    layout->addWidget(buttonBox);

    installation = Tarvino::Installation(appDir, executableName);
    Tarvino::removeLeftovers(appDir, executableName);

    listingDone = false;
    startListingCheck();
    waitFor(listingDone);
}

TarvinoUpdater::~TarvinoUpdater() = default;

QString TarvinoUpdater::currentVersion() const
{
    return Tarvino::identityFromArguments(context.arguments.value_or(QCoreApplication::arguments()));
}

void TarvinoUpdater::startListingCheck()
{
    const QString identity = currentVersion();
    const Tarvino::IdentityProblem problem = Tarvino::identityProblem(identity);
    if (problem != Tarvino::IdentityProblem::None) {
        const QString why = problem == Tarvino::IdentityProblem::UnsafeName
            ? tr("The version given is not a plain file name, so no update is looked for.")
            : tr("The version given names no Qt version, so no update is looked for.");
        showVersions(tr("None"), why);
        listingDone = true;
        return;
    }

    const QUrl url = Tarvino::listingUrl(context.downloadBaseUrl, platform, identity);
    QNetworkReply *reply = listManager.get(makeRequest(url, context.transferTimeout));
    listingBody.clear();
    auto *sink = new QBuffer(&listingBody, reply);
    sink->open(QIODevice::WriteOnly);
    listingTransfer = new Tarvino::Transfer(reply, sink, MaxListingSize);
}

// Waits on the GUI thread without spinning: the window stays responsive and the
// process sleeps while nothing happens.
void TarvinoUpdater::waitFor(const bool &done)
{
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void TarvinoUpdater::downloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    executables.clear();

    const QString failure = listingTransfer->finish(Tarvino::Transfer::Expect::AnySuccess);

    // The page is kept as it came, even from a failed answer, for whoever wants to see it.
    QFile sideFile(SideFileName);
    if (sideFile.open(QIODevice::WriteOnly)) {
        sideFile.write(listingBody);
        sideFile.close();
    }

    if (failure.isEmpty()) {
        QBuffer page(&listingBody);
        page.open(QIODevice::ReadOnly);
        executables = Tarvino::parseListing(page);
    }
    listingBody.clear();
    listingDone = true;
    qDebug() << executables;

    QString possibleVersion = tr("None");
    if (!executables.isEmpty() && Tarvino::isNewerBuild(executables.constLast(), currentVersion())) {
        possibleVersion = executables.constLast();
        buttonBox->button(QDialogButtonBox::Ok)->setEnabled(true);
    }
    showVersions(possibleVersion,
                 failure.isEmpty() ? QString() : tr("The update check failed: %1").arg(failure));
}

void TarvinoUpdater::showVersions(const QString &possibleVersion, const QString &note)
{
    QString text = QStringLiteral("%1 %2\n\n%3 %4")
                       .arg(tr("Current version:"), currentVersion(), tr("Possible version:"),
                            possibleVersion);
    if (!note.isEmpty())
        text += QStringLiteral("\n\n") + note;
    label->setText(text);
}

void TarvinoUpdater::showProgress(qint64 received, qint64 total)
{
    // Repainting for every network chunk would cost more than the download.
    if (progressShown.isValid() && progressShown.elapsed() < 100 && received != total)
        return;
    progressShown.start();
    const QLocale locale;
    const QString note = total > 0
        ? tr("Downloading: %1 of %2 (%3%)")
              .arg(locale.formattedDataSize(received), locale.formattedDataSize(total))
              .arg(received * 100 / total)
        : tr("Downloading: %1").arg(locale.formattedDataSize(received));
    showVersions(executables.constLast(), note);
}

void TarvinoUpdater::okSlot()
{
    // A second press while a download runs would start a second request and a nested wait.
    if (updating || executables.isEmpty())
        return;
    updating = true;
    QPushButton *ok = buttonBox->button(QDialogButtonBox::Ok);
    ok->setEnabled(false);

    const QString entry = executables.constLast();
    downloadFailure.clear();
    staging = std::make_unique<Tarvino::StagingFile>(appDir, executableName);
    if (!staging->open()) {
        updateFailed(staging->errorString());
        return;
    }

    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    qDebug() << "Inicio de descarga del archivo ejecutable";

    QIODevice *sink = staging->device();
    verifier.reset();
    if (!context.publicKey.isEmpty()) {
        signature = fetchSignature(entry, &downloadFailure);
        if (!downloadFailure.isEmpty()) {
            QGuiApplication::restoreOverrideCursor();
            updateFailed(downloadFailure);
            return;
        }
        // The server's name for the file, which is what the publisher signed.
        verifier = std::make_unique<Tarvino::VerifyingWriter>(
            sink, QUrl::fromPercentEncoding(entry.toUtf8()));
        sink = verifier.get();
    }

    const QUrl url = Tarvino::fileUrl(
        Tarvino::listingUrl(context.downloadBaseUrl, platform, currentVersion()), entry);
    QNetworkReply *reply = downloadManager.get(makeRequest(url, context.transferTimeout));
    downloadTransfer = new Tarvino::Transfer(reply, sink);
    progressShown.invalidate();
    connect(downloadTransfer, &Tarvino::Transfer::progress, this, &TarvinoUpdater::showProgress);

    downloadDone = false;
    waitFor(downloadDone);
    qDebug() << "Se supone que ya terminó";
    QGuiApplication::restoreOverrideCursor();

    // The verifier writes through to the staging file, so it goes first.
    verifier.reset();
    staging.reset();
    if (!downloadFailure.isEmpty()) {
        updateFailed(downloadFailure);
        return;
    }
    if (!startInstalledProgram()) {
        const QString reason = tr("The new version could not be started.");
        updateFailed(installation.rollback()
                         ? reason + u' ' + tr("The previous version was put back.")
                         : reason + u' ' + installation.errorString());
        return;
    }
    installation.commit();
    close();
}

void TarvinoUpdater::downloadFinished2(QNetworkReply *reply)
{
    reply->deleteLater();
    buttonBox->button(QDialogButtonBox::Cancel)->setEnabled(true);
    downloadFailure = installDownload(reply);
    downloadDone = true;
}

// Nothing at the executable's name changes unless the whole download is good.
QString TarvinoUpdater::installDownload(QNetworkReply *reply)
{
    if (reply != downloadTransfer->parent())
        return tr("An unexpected answer arrived.");
    QString failure = downloadTransfer->finish(Tarvino::Transfer::Expect::CompleteFile);
    if (!failure.isEmpty())
        return failure;
    if (verifier) {
        if (!verifier->verify(context.publicKey, signature))
            return tr("The build does not bear the publisher's signature.");
        qDebug().noquote() << "Firma verificada:" << executables.constLast();
    }
    if (!staging->complete(downloadTransfer->bytesReceived()))
        return staging->errorString();
    if (!installation.install(staging->path(), currentVersion()))
        return installation.errorString();
    staging->release();
    return {};
}

// The detached signature of the entry, fetched before the build itself so that
// the build can be checked as it streams in.
QByteArray TarvinoUpdater::fetchSignature(const QString &entry, QString *failure)
{
    if (!Tarvino::signaturesSupported()) {
        *failure = tr("This updater was built without signature checking.");
        return {};
    }
    const QUrl url = Tarvino::signatureUrl(context.downloadBaseUrl, platform, currentVersion(), entry);
    QNetworkReply *reply = signatureManager.get(makeRequest(url, context.transferTimeout));
    auto *sink = new QBuffer(reply);
    sink->open(QIODevice::WriteOnly);
    auto *transfer = new Tarvino::Transfer(reply, sink, MaxSignatureSize);
    bool done = false;
    connect(reply, &QNetworkReply::finished, this, [&done] { done = true; });
    waitFor(done);
    reply->deleteLater();

    const QString error = transfer->finish(Tarvino::Transfer::Expect::CompleteFile);
    if (!error.isEmpty()) {
        *failure = tr("The build's signature could not be fetched: %1").arg(error);
        return {};
    }
    const QByteArray decoded = Tarvino::fromBase64Line(sink->data(), Tarvino::SignatureSize);
    if (decoded.isEmpty())
        *failure = tr("The build's signature is malformed.");
    return decoded;
}

void TarvinoUpdater::updateFailed(const QString &reason)
{
    updating = false;
    verifier.reset();
    staging.reset();
    showVersions(executables.constLast(), tr("The update failed: %1").arg(reason));
    buttonBox->button(QDialogButtonBox::Ok)->setEnabled(true);
    buttonBox->button(QDialogButtonBox::Cancel)->setEnabled(true);
}

bool TarvinoUpdater::startInstalledProgram()
{
    return QProcess::startDetached(appDir + executableName, {});
}

void TarvinoUpdater::cancelSlot()
{
    startInstalledProgram();
    close();
}

void TarvinoUpdater::closeSlot()
{
    close();
}
