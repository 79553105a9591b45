#include "tarvinoupdater.h"

#include "foldersession.h"
#include "identity.h"
#include "listingcheck.h"
#include "supportlog.h"
#include "updatejob.h"

#include <QApplication>
#include <QDebug>
#include <QDialogButtonBox>
#include <QFrame>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLocale>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QVBoxLayout>

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

    // Company networks reach the server through the proxy their system names.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    connect(&listManager, &QNetworkAccessManager::finished, this, &TarvinoUpdater::downloadFinished);
    connect(&downloadManager, &QNetworkAccessManager::finished, this,
            &TarvinoUpdater::downloadFinished2);

    platform = QStringLiteral("Windows");
    executableName = QStringLiteral("Tarvíno.exe");
    appDir = (context.appDir.isEmpty() ? QCoreApplication::applicationDirPath() : context.appDir)
        + u'/';

    label = new QLabel(this);
    // Messages name paths and addresses; the window stays as wide as a message box.
    label->setWordWrap(true);
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

    session = std::make_unique<Tarvino::FolderSession>(context, appDir, executableName, platform, currentVersion());
    session->open();
    installedVersion = session->installedVersion();
    if (session->busy()) {
        showVersions(tr("None"), session->errorString());
        return;
    }
    startNotice = session->startNotice();
    installProblem = session->installProblem();

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
    listingCheck = std::make_unique<Tarvino::ListingCheck>(listManager, context, platform, installedVersion);
    connect(listingCheck.get(), &Tarvino::ListingCheck::finished, this, [this] {
        executables = listingCheck->entries();
        listingDone = true;
        qDebug() << executables;
        offer = listingCheck->offer();
        const bool offered = !offer.entry.isEmpty();
        session->sweep(*listingCheck);
        Tarvino::SupportLog::write(QStringLiteral("Offered: ")
                                   + (offered ? offer.entry + (offer.release ? QStringLiteral(" (a release)") : QString())
                                              : QStringLiteral("None")));
        buttonBox->button(QDialogButtonBox::Ok)->setEnabled(offered && installProblem.isEmpty());
        QStringList notes{startNotice, offer.reason, installProblem};
        notes.removeAll(QString());
        showVersions(offered ? offer.entry : tr("None"), notes.join(QStringLiteral("\n\n")));
    });
    listingCheck->start();
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
    listingCheck->downloadFinished(reply);
}

void TarvinoUpdater::showVersions(const QString &possibleVersion, const QString &note, bool logNote)
{
    QString text = QStringLiteral("%1 %2\n\n%3 %4")
                       .arg(tr("Current version:"), Tarvino::shortened(installedVersion), tr("Possible version:"),
                            Tarvino::shortened(possibleVersion));
    // The label wraps for the notes below the versions; the version lines
    // themselves are never broken.
    label->setMinimumWidth(label->fontMetrics().size(0, text).width());
    if (!note.isEmpty()) {
        text += QStringLiteral("\n\n") + note;
        if (logNote)
            Tarvino::SupportLog::write(QStringLiteral("Shown: ") + note);
    }
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
    showVersions(offer.entry, note, false);
}

void TarvinoUpdater::okSlot()
{
    // A second press during the wait would start a second request and a nested
    // wait, even after the engine has finished and before this wait has returned.
    if (inOkSlot || offer.entry.isEmpty())
        return;
    const QScopedValueRollback<bool> busy(inOkSlot, true);
    buttonBox->button(QDialogButtonBox::Ok)->setEnabled(false);
    update = session->makeUpdate(downloadManager, offer);
    connect(update.get(), &Tarvino::UpdateJob::progress, this, &TarvinoUpdater::showProgress);
    connect(update.get(), &Tarvino::UpdateJob::notice, this, [this](const QString &text) {
        progressShown.start(); // the note stays a moment before progress covers it again
        showVersions(offer.entry, text, false);
    });
    connect(update.get(), &Tarvino::UpdateJob::finished, this, [this] { downloadDone = true; });
    // Until the download has arrived, Cancel stops it; after that the update runs to its end.
    QPushButton *cancel = buttonBox->button(QDialogButtonBox::Cancel);
    cancel->setEnabled(true);
    connect(update.get(), &Tarvino::UpdateJob::downloaded, cancel, [cancel] { cancel->setEnabled(false); });

    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    qDebug() << "Inicio de descarga del archivo ejecutable";
    progressShown.invalidate();
    downloadDone = false;
    update->start();
    waitFor(downloadDone);
    qDebug() << "Se supone que ya terminó";
    QGuiApplication::restoreOverrideCursor();

    if (update->cancelled()) {
        // What arrived stays for the next update; the program runs as it was.
        QProcess::startDetached(appDir + executableName, {});
        close();
    } else if (update->succeeded()) {
        close();
    } else {
        updateFailed();
    }
}

// The new build is checked, installed and started by the engine; its end ends
// okSlot's wait. Once the download has arrived Cancel is disabled: the engine
// starts the program.
void TarvinoUpdater::downloadFinished2(QNetworkReply *reply)
{
    update->downloadFinished(reply);
}

// Where the engine has started a program (the new build, or the previous
// version in its place), one update has had its start: only Close is left.
void TarvinoUpdater::updateFailed()
{
    QString note = tr("The update failed: %1").arg(update->errorString());
    switch (update->running()) {
    case Tarvino::UpdateJob::Running::PreviousVersion:
        note += QStringLiteral("\n\n") + tr("The previous version, %1, is running again.")
                                              .arg(Tarvino::shortened(installedVersion));
        break;
    case Tarvino::UpdateJob::Running::NewVersion:
        note += QStringLiteral("\n\n") + tr("The new version, %1, is running.")
                                              .arg(Tarvino::shortened(offer.entry));
        break;
    case Tarvino::UpdateJob::Running::Nothing:
        break;
    }
    showVersions(offer.entry, note);
    const bool nothingStarted = !update->launched();
    buttonBox->button(QDialogButtonBox::Ok)->setEnabled(nothingStarted);
    buttonBox->button(QDialogButtonBox::Cancel)->setEnabled(nothingStarted);
}

// Starts the installed program, unless this run's update already started one.
// During the download it stops the download; okSlot then starts the program.
void TarvinoUpdater::cancelSlot()
{
    if (inOkSlot) {
        if (update && update->cancel())
            buttonBox->button(QDialogButtonBox::Cancel)->setEnabled(false);
        return;
    }
    if (update && update->launched())
        return;
    QProcess::startDetached(appDir + executableName, {});
    close();
}

void TarvinoUpdater::closeSlot()
{
    close();
}
