#pragma once

#include <QUrl>

class QString;

// The download server's addresses, all under a base URL and derived from the
// running identity's Qt version:
//   BASE/<platform>/<Qt version>/Executables/            the listing
//   BASE/<platform>/<Qt version>/Executables/<entry>     a build
//   BASE/<platform>/<Qt version>/Signatures/<entry>.sig  its signature
namespace Tarvino {

QUrl listingUrl(const QUrl &downloadBaseUrl, const QString &platform, const QString &identity);
QUrl fileUrl(const QUrl &listingUrl, const QString &entry);

// In a folder beside Executables/, so that the listing keeps holding builds only.
QUrl signatureUrl(const QUrl &downloadBaseUrl, const QString &platform, const QString &identity,
                  const QString &entry);

} // namespace Tarvino
