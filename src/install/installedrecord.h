#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// What the application folder itself says it holds: beside the program, in
// ".Tarvíno.exe.installed", each line names a program by its fingerprint and
// the identity it was installed as. It is written before the new build takes the
// program's name and names the old program too, so that whether the update
// then stays or is undone, the program in the folder is known by its bytes.
// A program that matches no line (a backup put back by hand) is known by none.
namespace Tarvino::InstalledRecord {

QString path(const QString &appDir, const QString &executableName);

// A program's fingerprint: the SHA-256 of its size and of its first and last
// MiB. Builds differ there (a program's header carries its link time), and
// reading it costs the same for any size. Empty when it cannot be read.
QByteArray fingerprint(const QString &file);

// The identity recorded for the program now in the folder; empty when none is.
QString identityOfProgram(const QString &appDir, const QString &executableName);

// Replaces the record, in one step, with these programs (fingerprint, identity).
// 0 or the error code.
int write(const QString &appDir, const QString &executableName,
           const QList<QPair<QByteArray, QString>> &programs);

} // namespace Tarvino::InstalledRecord
