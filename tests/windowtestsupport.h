#pragma once

#include "tarvinoupdater.h"
#include "testhttpserver.h"
#include "testsupport.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTemporaryDir>

#include <memory>

// What every window test needs: its own working directory, its own server,
// and a window pointed at both.
struct WindowFixture
{
    QTemporaryDir workDir;
    QTemporaryDir appDir;
    TestHttpServer server;
    QString previousDir;

    WindowFixture();
    ~WindowFixture();

    Tarvino::UpdaterContext context(const QString &identity = TestNames::Identity,
                                    int timeoutMs = 5000) const;
    std::unique_ptr<TarvinoUpdater> open(const QString &identity = TestNames::Identity,
                                         int timeoutMs = 5000);

    void serveListing(const QList<QByteArray> &entries);
    // Puts an installed "Tarvíno.exe" with these bytes in the application directory.
    bool install(const QByteArray &bytes);
    QString appPath(const QString &name) const { return appDir.filePath(name); }
};

QString labelText(const TarvinoUpdater &window);
QPushButton *button(const TarvinoUpdater &window, QDialogButtonBox::StandardButton which);
QString versionsText(const QString &current, const QString &possible);
