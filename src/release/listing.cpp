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
        const QByteArray line = page.readLine(MaxListingLineLength + 1);
        if (line.size() < MaxListingLineLength || line.endsWith('\n')) {
            if (const std::optional<QString> entry = listingEntry(QString::fromUtf8(line)))
                entries.append(*entry);
            continue;
        }
        // The rest is passed over a piece at a time, keeping only how it ends.
        QByteArray end = line.right(10);
        while (!end.endsWith('\n') && !page.atEnd())
            end = (end + page.readLine(MaxListingLineLength + 1)).right(10);
        // The name lies in the line's first bytes; only a name that does not end
        // within them is cut, and then it is never a plain file name.
        const qsizetype quote = line.indexOf('"');
        const qsizetype closing = quote < 0 ? -1 : line.indexOf('"', quote + 1);
        if (line.startsWith("<li><a ") && end == "</a></li>\n" && quote >= 0)
            entries.append(QString::fromUtf8(closing < 0 ? line.mid(quote + 1) : line.mid(quote + 1, closing - quote - 1)));
    }
    return entries;
}

} // namespace Tarvino
