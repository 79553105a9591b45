#pragma once

#include <QUrl>

class QString;

// The download server's addresses, all under a base URL and derived from the
// running identity's Qt version:
//   BASE/<platform>/<Qt version>/Executables/            the listing
//   BASE/<platform>/<Qt version>/Executables/<entry>     a build
//   BASE/<platform>/<Qt version>/Signatures/<entry>.sig  its signature
//   BASE/<platform>/<Qt version>/Manifests/<entry>.txt   its manifest (size and SHA-256), and .sig
namespace Tarvino {

QUrl listingUrl(const QUrl &downloadBaseUrl, const QString &platform, const QString &identity);
QUrl fileUrl(const QUrl &listingUrl, const QString &entry);

// Whole releases, whatever their Qt version:
//   BASE/<platform>/Releases/                            the releases page
//   BASE/<platform>/Releases/Signatures/index.html.sig   its signature
//   BASE/<platform>/Releases/<release>/                  a release: manifest.txt, manifest.txt.sig, files/
QUrl releasesUrl(const QUrl &downloadBaseUrl, const QString &platform);
QUrl releaseFolderUrl(const QUrl &downloadBaseUrl, const QString &platform, const QString &release);

// In a folder beside Executables/, so that the listing keeps holding builds only.
QUrl signatureUrl(const QUrl &downloadBaseUrl, const QString &platform, const QString &identity,
                  const QString &entry);
QUrl buildManifestUrl(const QUrl &downloadBaseUrl, const QString &platform, const QString &identity,
                      const QString &entry);
// The smaller forms of a build: the list beside its manifest, <entry>.patches.txt,
// and the files it names under BASE/<platform>/<Qt version>/ (compressed/, patches/).
QUrl buildPatchListUrl(const QUrl &downloadBaseUrl, const QString &platform, const QString &identity,
                       const QString &entry);
QUrl platformFolderUrl(const QUrl &downloadBaseUrl, const QString &platform, const QString &identity);

// A relative path of a release ("plugins/a b.dll"), each name percent-encoded for a URL.
QString encodedPath(const QString &path);

} // namespace Tarvino
