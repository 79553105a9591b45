#include "listing.h"


#include <QIODevice>

namespace Tarvino {

std::optional<QString> listingEntry(const QString &line)
{
    // A carriage return before the line feed, or a last line without one, is
    // deliberately not a listing line: the servers we rely on write plain "\n".
    if (!line.startsWith(QLatin1String("<li><a ")) || !line.endsWith(QLatin1String("</a></li>\n")))
        return std::nullopt;
    const QStringList fields = line.split(u'"', Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (fields.size() < 2)
        return std::nullopt;
    return fields.at(1);
}

QStringList parseListing(QIODevice &page)
{
    QStringList entries;
    while (!page.atEnd()) {
        const QString line = QString::fromUtf8(page.readLine());
        if (const std::optional<QString> entry = listingEntry(line))
            entries.append(*entry);
    }
    return entries;
}

} // namespace Tarvino
