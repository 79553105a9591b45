#include "updatercontext.h"

namespace Tarvino {

QUrl builtInDownloadBaseUrl()
{
    return QUrl(QStringLiteral(TARVINO_DOWNLOAD_BASE_URL), QUrl::StrictMode);
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
