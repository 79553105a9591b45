#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Version identities ("Tarvino-<Qt version>-<yyyymmdd>") and the ordering of
// builds by their date number.
namespace Tarvino {

// Compiled in on purpose: the identity names the build, not the day it was compiled.
inline constexpr char builtInBuildDate[] = "20251201";

QString builtInIdentity();

// The first argument after the program name, or the built-in identity.
QString identityFromArguments(const QStringList &arguments);

// Field 1 of the identity split on "-"; empty when there is none.
QString qtVersionField(const QString &identity);

// Date number of a listing entry: the part of its last "-" field before the
// first "."; nullopt when that is not a 32-bit decimal integer.
std::optional<int> entryDateNumber(const QString &entry);

// Date number of the running identity: its last "-" field, 0 when it does not parse.
int runningDateNumber(const QString &identity);

bool isNewerBuild(const QString &entry, const QString &identity);

// The identity of the program a listing entry installs: the entry without the
// extension after its date ("Tarvino-6.10.1-20260101.exe": "Tarvino-6.10.1-20260101").
QString identityOfEntry(const QString &entry);

// The longest file name that Windows and most other systems take.
inline constexpr int MaxFileNameLength = 255;

// True for a name that is safe both as the last piece of a URL and as a file
// name in the application directory.
bool isPlainFileName(const QString &name);

// The text as it can be shown in a message or the window: cut with an ellipsis
// past maxLength characters.
QString shortened(const QString &text, int maxLength = 64);

enum class IdentityProblem { None, UnsafeName, NoQtVersion };
IdentityProblem identityProblem(const QString &identity);

} // namespace Tarvino
