#include "urls.h"

#include "identity.h"

#include <QString>
#include <QStringList>

namespace Tarvino {

namespace {
QString platformFolder(const QUrl &downloadBaseUrl, const QString &platform, const QString &identity)
{
    return downloadBaseUrl.toString(QUrl::FullyEncoded) + platform + u'/' + qtVersionField(identity);
}
} // namespace

QUrl listingUrl(const QUrl &downloadBaseUrl, const QString &platform, const QString &identity)
{
    return QUrl(platformFolder(downloadBaseUrl, platform, identity) + QStringLiteral("/Executables/"),
                QUrl::TolerantMode);
}

QUrl signatureUrl(const QUrl &downloadBaseUrl, const QString &platform, const QString &identity,
                  const QString &entry)
{
    return QUrl(platformFolder(downloadBaseUrl, platform, identity) + QStringLiteral("/Signatures/")
                    + entry + QStringLiteral(".sig"),
                QUrl::TolerantMode);
}

QUrl buildManifestUrl(const QUrl &downloadBaseUrl, const QString &platform, const QString &identity,
                      const QString &entry)
{
    return QUrl(platformFolder(downloadBaseUrl, platform, identity) + QStringLiteral("/Manifests/") + entry
                    + QStringLiteral(".txt"),
                QUrl::TolerantMode);
}

QUrl buildPatchListUrl(const QUrl &downloadBaseUrl, const QString &platform, const QString &identity,
                       const QString &entry)
{
    return QUrl(platformFolder(downloadBaseUrl, platform, identity) + QStringLiteral("/Manifests/") + entry
                    + QStringLiteral(".patches.txt"),
                QUrl::TolerantMode);
}

QUrl platformFolderUrl(const QUrl &downloadBaseUrl, const QString &platform, const QString &identity)
{
    return QUrl(platformFolder(downloadBaseUrl, platform, identity) + u'/', QUrl::TolerantMode);
}

QString encodedPath(const QString &path)
{
    QStringList segments;
    for (const QString &segment : path.split(u'/'))
        segments << QString::fromLatin1(QUrl::toPercentEncoding(segment));
    return segments.join(u'/');
}

QUrl releasesUrl(const QUrl &downloadBaseUrl, const QString &platform)
{
    return QUrl(downloadBaseUrl.toString(QUrl::FullyEncoded) + platform + QStringLiteral("/Releases/"), QUrl::TolerantMode);
}

QUrl releaseFolderUrl(const QUrl &downloadBaseUrl, const QString &platform, const QString &release)
{
    return QUrl(releasesUrl(downloadBaseUrl, platform).toString(QUrl::FullyEncoded)
                    + QString::fromLatin1(QUrl::toPercentEncoding(release)) + u'/',
                QUrl::TolerantMode);
}

QUrl fileUrl(const QUrl &listingUrl, const QString &entry)
{
    return QUrl(listingUrl.toString(QUrl::FullyEncoded) + entry, QUrl::TolerantMode);
}

} // namespace Tarvino
