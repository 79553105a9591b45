#pragma once

#include "signature.h"
#include "transfer.h"

#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <optional>

namespace Tarvino {

QUrl builtInDownloadBaseUrl();

// The updater's own program in the application folder, whichever program runs
// the update: a release's file of this name is the updater.
QString updaterProgramName();

// "--self-test": the updater starts, loads Qt, its plugins and the libraries an
// update needs, touches nothing and ends; 0 when all is there.
int selfTest();
int builtInListingMaxAgeDays();

// What the updater takes from its surroundings. The program uses the defaults;
// tests point a window at their own server, folder and arguments through it.
struct UpdaterContext
{
    QUrl downloadBaseUrl = builtInDownloadBaseUrl();
    // Inactivity limit of each request; Qt's own default constant.
    std::chrono::milliseconds transferTimeout{30000};
    // Below it a transfer is given up: about 1 KiB/s over a minute.
    MinimumRate minimumRate;
    // A download that breaks off is continued this many times, after pauses of
    // 1, 2, 4, 8 and 16 s: the whole update still ends.
    int retries = 5;
    std::chrono::milliseconds firstRetryPause{1000};
    // Empty: the directory that holds this executable.
    QString appDir;
    // Unset: the process's own command line.
    std::optional<QStringList> arguments;
    // The publisher's Ed25519 public keys; empty: neither listings nor builds are
    // signature-checked.
    QList<QByteArray> publicKeys = builtInPublicKeys();
    // Above 0: a listing published longer ago than this is refused.
    int listingMaxAgeDays = builtInListingMaxAgeDays();
    // Trusted besides the system's certificate authorities; for tests' own.
    QList<QSslCertificate> caCertificates;
};

} // namespace Tarvino
