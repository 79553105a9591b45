#include "updatercontext.h"

namespace Tarvino {

QUrl builtInDownloadBaseUrl()
{
    return QUrl(QStringLiteral(TARVINO_DOWNLOAD_BASE_URL), QUrl::StrictMode);
}

} // namespace Tarvino
