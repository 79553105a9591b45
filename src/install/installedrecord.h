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

// A program's fingerprint: the SHA-256 of all its bytes (builds may differ
// anywhere). Empty when it cannot be read.
QByteArray fingerprint(const QString &file);

// The identity the record gives the program with this fingerprint; empty when none.
QString identityOf(const QString &appDir, const QString &executableName, const QByteArray &fingerprint);

// Replaces the record, in one step, with these programs (fingerprint, identity).
// 0 or the error code.
int write(const QString &appDir, const QString &executableName,
           const QList<QPair<QByteArray, QString>> &programs);

} // namespace Tarvino::InstalledRecord
