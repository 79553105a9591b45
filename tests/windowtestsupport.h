#pragma once

#include "testhttpserver.h"
#include "tarvinoupdater.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>

#include <memory>

namespace TestNames {
inline const QString Exe = QStringLiteral("Tarvíno.exe");
inline const QString Identity = QStringLiteral("Tarvino-6.10.1-20251201");
inline const QByteArray Older = "Tarvino-6.10.1-20250101.exe";
inline const QByteArray Newer = "Tarvino-6.10.1-20260101.exe";
inline const QByteArray NewerPath = "/Windows/6.10.1/Executables/Tarvino-6.10.1-20260101.exe";
} // namespace TestNames

// The tests' stand-in for the application: a real program that records how it
// was started in "started.txt" beside itself.
QByteArray recorderProgram();

// The file's bytes, or "<missing>".
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);

// What every window test needs: its own working directory, its own server,
// and a window pointed at both.
struct WindowFixture
{
    static constexpr char ListingPath[] = "/Windows/6.10.1/Executables/";

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
    QString installedPath() const { return appDir.filePath(TestNames::Exe); }
    static QByteArray listingPage(const QList<QByteArray> &entries);
};

QString labelText(const TarvinoUpdater &window);
QPushButton *button(const TarvinoUpdater &window, QDialogButtonBox::StandardButton which);
QString versionsText(const QString &current, const QString &possible);
