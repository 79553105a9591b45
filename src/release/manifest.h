#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>

// A release's manifest: every file of a whole application folder, by its path
// relative to the folder, with its size and SHA-256 and whether it is a
// program. UTF-8 text, one line a file after two lines of head:
//   Tarvino release manifest 1
//   release: Tarvino-6.10.1-20260115
//   <SHA-256, 64 hex digits> <size in bytes> <x: a program, -: not> <path>
// A manifest reaches nothing outside its folder and nothing the updater keeps
// there: one that breaks any rule is refused whole.
namespace Tarvino {

struct ManifestFile
{
    QString path;       // relative, with "/"
    qint64 size = 0;
    QByteArray sha256;  // 32 bytes
    bool program = false;
};

class Manifest
{
    Q_DECLARE_TR_FUNCTIONS(Tarvino::Manifest)

public:
    static constexpr int MaxFiles = 10000;
    static constexpr qint64 MaxTotalSize = Q_INT64_C(8) * 1024 * 1024 * 1024;
    static constexpr qint64 MaxTextSize = 4 * 1024 * 1024;
    // Windows takes 259 characters in a path: with a user's application folder
    // (up to about 60) and the staging or backup folder (about 30) in front, a
    // file of the release keeps within it.
    static constexpr int MaxPathLength = 160;
    // Where a folder keeps the manifest of the release it holds.
    static constexpr char RecordName[] = "TarvinoRelease.txt";

    // The updater's own files in the folder, which no manifest may name: these
    // names, and names that begin with hiddenPrefix.
    void setReserved(const QStringList &names, const QString &hiddenPrefix)
    {
        m_reserved = names;
        m_hiddenPrefix = hiddenPrefix;
    }

    bool parse(const QByteArray &text);
    QString errorString() const { return m_error; }

    QString release() const { return m_release; }
    QList<ManifestFile> files() const { return m_files; }
    const ManifestFile *find(const QString &path) const;
    qint64 totalSize() const;

    // Why a path cannot be a file of a release; empty when it can.
    static QString pathProblem(const QString &path);

private:
    bool fail(const QString &error);

    QStringList m_reserved;
    QString m_hiddenPrefix;
    QString m_release;
    QList<ManifestFile> m_files;
    QString m_error;
};

} // namespace Tarvino
