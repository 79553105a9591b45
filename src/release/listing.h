#pragma once

#include <QStringList>

#include <optional>

class QIODevice;

// The download server's directory page: one build per line, in the form
//   <li><a href="NAME">...</a></li>\n
// as Python's http.server and similar static servers write it.
namespace Tarvino {

// The link target of a listing line (the text between its first two double
// quotes); nullopt when the line is not a listing line or holds no quote.
std::optional<QString> listingEntry(const QString &line);

// Far longer than any listing line with a file name in it.
inline constexpr qint64 MaxListingLineLength = 4096;

// All entries of the page, in page order, as they stand: whether a name is safe
// to use is for whoever uses it. A line longer than MaxListingLineLength is
// never read whole: when it has the form of a listing line, its entry is the
// name between its first two quotes when both lie within that length (however
// long the link text after it), else what follows its first quote there, which
// is never a plain file name, so that such a line cannot be offered nor let
// the one before it be.
QStringList parseListing(QIODevice &page);

} // namespace Tarvino
