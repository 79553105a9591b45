#pragma once

#include "testhttpserver.h"
#include "tarvinoupdater.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>

#include <memory>

// What every window test needs: its own working directory, its own server,
// and a window pointed at both.
struct WindowFixture
{
    static constexpr char Identity[] = "Tarvino-6.10.1-20251201";
    static constexpr char ListingPath[] = "/Windows/6.10.1/Executables/";

    QTemporaryDir workDir;
    QTemporaryDir appDir;
    TestHttpServer server;
    QString previousDir;

    WindowFixture();
    ~WindowFixture();

    Tarvino::UpdaterContext context(const QString &identity = QString::fromLatin1(Identity),
                                    int timeoutMs = 5000) const;
    std::unique_ptr<TarvinoUpdater> open(const QString &identity = QString::fromLatin1(Identity),
                                         int timeoutMs = 5000);

    void serveListing(const QList<QByteArray> &entries);
    static QByteArray listingPage(const QList<QByteArray> &entries);
};

QString labelText(const TarvinoUpdater &window);
QPushButton *button(const TarvinoUpdater &window, QDialogButtonBox::StandardButton which);
QString versionsText(const QString &current, const QString &possible);
