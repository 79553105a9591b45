#include "updatercontext.h"

#include <QCoreApplication>
#include <QSslSocket>
#include <QTextStream>

namespace Tarvino {

QUrl builtInDownloadBaseUrl()
{
    return QUrl(QStringLiteral(TARVINO_DOWNLOAD_BASE_URL), QUrl::StrictMode);
}

QString updaterProgramName()
{
#if defined(Q_OS_WIN)
    return QStringLiteral("TarvinoUpdater.exe");
#else
    return QStringLiteral("TarvinoUpdater");
#endif
}

int selfTest()
{
    QTextStream out(stdout);
    // Qt and its platform plugin are loaded once the application object exists.
    if (QCoreApplication::instance() == nullptr) {
        out << "no application object\n";
        return 1;
    }
    if (!builtInPublicKeys().isEmpty() && !signaturesSupported()) {
        out << "no signature checking\n";
        return 1;
    }
#if QT_CONFIG(ssl)
    if (builtInDownloadBaseUrl().scheme() == u"https" && !QSslSocket::supportsSsl()) {
        out << "no TLS backend\n";
        return 1;
    }
#endif
    out << "ok\n";
    return 0;
}

int builtInListingMaxAgeDays()
{
#ifdef TARVINO_LISTING_MAX_AGE_DAYS
    return TARVINO_LISTING_MAX_AGE_DAYS;
#else
    return 0;
#endif
}

} // namespace Tarvino
