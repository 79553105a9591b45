#include "windowtestsupport.h"

#include <QDir>
#include <QLabel>
#include <QLayout>
#include <QTest>

WindowFixture::WindowFixture() : previousDir(QDir::currentPath())
{
    QVERIFY(workDir.isValid());
    QVERIFY(appDir.isValid());
    QVERIFY(server.start());
    // The side file goes to the working directory; keep it out of the build tree.
    QVERIFY(QDir::setCurrent(workDir.path()));
}

WindowFixture::~WindowFixture()
{
    QDir::setCurrent(previousDir);
}

Tarvino::UpdaterContext WindowFixture::context(const QString &identity, int timeoutMs) const
{
    Tarvino::UpdaterContext context;
    context.downloadBaseUrl = server.baseUrl();
    context.transferTimeout = std::chrono::milliseconds(timeoutMs);
    context.retries = 2;
    context.firstRetryPause = std::chrono::milliseconds(10);
    context.appDir = appDir.path();
    context.arguments = QStringList{QStringLiteral("TarvinoUpdater"), identity};
    // Whatever key this build carries: tests of signed updates bring their own.
    context.publicKeys.clear();
    return context;
}

std::unique_ptr<TarvinoUpdater> WindowFixture::open(const QString &identity, int timeoutMs)
{
    return std::make_unique<TarvinoUpdater>(context(identity, timeoutMs));
}

bool WindowFixture::install(const QByteArray &bytes)
{
    return writeFile(appPath(TestNames::Exe), bytes);
}

void WindowFixture::serveListing(const QList<QByteArray> &entries)
{
    server.setResponse(TestNames::ListingPath, TestHttpServer::ok(listingPage(entries)));
}

QString labelText(const TarvinoUpdater &window)
{
    auto *label = qobject_cast<QLabel *>(window.layout()->itemAt(0)->widget());
    return label ? label->text() : QString();
}

QPushButton *button(const TarvinoUpdater &window, QDialogButtonBox::StandardButton which)
{
    auto *box = window.findChild<QDialogButtonBox *>();
    return box ? box->button(which) : nullptr;
}

QString versionsText(const QString &current, const QString &possible)
{
    return QStringLiteral("Current version: %1\n\nPossible version: %2").arg(current, possible);
}
