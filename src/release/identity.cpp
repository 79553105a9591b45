#include "identity.h"

#include <QStringList>

namespace Tarvino {

namespace {

QStringList splitFields(const QString &text, QChar separator)
{
    return text.split(separator, Qt::KeepEmptyParts, Qt::CaseSensitive);
}

bool hasEncodedSeparatorOrDot(const QString &name)
{
    static const char *const encoded[] = {"%2f", "%5c", "%2e"};
    for (const char *e : encoded) {
        if (name.contains(QLatin1String(e), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

} // namespace

QString builtInIdentity()
{
    return QStringLiteral("Tarvino-%1-%2")
        .arg(QString::fromLatin1(qVersion()), QString::fromLatin1(builtInBuildDate));
}

QString identityFromArguments(const QStringList &arguments)
{
    return arguments.size() >= 2 ? arguments.at(1) : builtInIdentity();
}

QString qtVersionField(const QString &identity)
{
    const QStringList fields = splitFields(identity, u'-');
    return fields.size() >= 2 ? fields.at(1) : QString();
}

std::optional<int> entryDateNumber(const QString &entry)
{
    const QString lastField = splitFields(entry, u'-').constLast();
    const QString digits = splitFields(lastField, u'.').constFirst();
    bool ok = false;
    const int number = digits.toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    return number;
}

int runningDateNumber(const QString &identity)
{
    return splitFields(identity, u'-').constLast().toInt(nullptr, 10);
}

bool isNewerBuild(const QString &entry, const QString &identity)
{
    const std::optional<int> entryNumber = entryDateNumber(entry);
    return entryNumber && runningDateNumber(identity) < *entryNumber;
}

QString identityOfEntry(const QString &entry)
{
    const qsizetype dot = entry.indexOf(u'.', entry.lastIndexOf(u'-') + 1);
    return dot < 0 ? entry : entry.left(dot);
}

bool isPlainFileName(const QString &name)
{
    if (name.isEmpty() || name == u"." || name == u".." || name.size() > MaxFileNameLength)
        return false;
    for (const QChar c : name) {
        // '?' and '#' would turn the rest of the name into a query or fragment of the file URL.
        if (c == u'/' || c == u'\\' || c == u':' || c == u'?' || c == u'#'
            || c.category() == QChar::Other_Control) {
            return false;
        }
    }
    return !hasEncodedSeparatorOrDot(name);
}

QString shortened(const QString &text, int maxLength)
{
    if (text.size() <= maxLength)
        return text;
    // Not inside a surrogate pair.
    const int cut = text.at(maxLength - 1).isHighSurrogate() ? maxLength - 2 : maxLength - 1;
    return text.left(cut) + u'…';
}

IdentityProblem identityProblem(const QString &identity)
{
    if (!isPlainFileName(identity))
        return IdentityProblem::UnsafeName;
    if (qtVersionField(identity).isEmpty())
        return IdentityProblem::NoQtVersion;
    return IdentityProblem::None;
}

} // namespace Tarvino
