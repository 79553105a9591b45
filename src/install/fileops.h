#pragma once

#include <QIODevice>
#include <QString>
#include <QStringList>

#include <functional>

class QFile;

// The file-system steps of an update, straight to the operating system, each
// returning 0 or the system's error code (errno, or GetLastError() on Windows).
// Unlike QFile::rename, a rename that cannot be done is never turned into a
// copy over its target.
namespace Tarvino {

// Test seam: called before each file-system step of an update with the step's
// name ("open", "write", "fsync", "link", "rename", "unlink", "fsync-dir",
// "attributes", "mkdir", "hash": a file read whole for its SHA-256) and the path it acts on. A non-zero return makes the step fail
// with that error code.
using FileStepHook = std::function<int(const char *step, const QString &path)>;
void setFileStepHook(FileStepHook hook);

namespace FileOps {

int injected(const char *step, const QString &path);

// The error code in words; a full disk is said plainly.
QString describe(int error);
int lastError();

// On Windows, a virus scanner or an indexer that has just opened a file makes
// these fail for a moment: they try again for a few seconds before giving up.
int renameOver(const QString &from, const QString &to);
int linkFile(const QString &existing, const QString &newName);
int removeFile(const QString &path);

// A rename that fails at once, for when the failure itself says what to do next.
int renameOverOnce(const QString &from, const QString &to);

// Whether a failed link means that the drive has no hard links (FAT, exFAT,
// some network shares) rather than that something is wrong.
bool linksUnsupported(int error);

// Whether the drive takes hard links, tried on a small file of its own at
// probePath and a second name for it, both removed again at once (never on a
// file in use: Windows keeps a running program's names). Outside the test
// seam: it is a question, not a step of the update.
bool takesHardLinks(const QString &probePath);

// Writes a copy of existing as newName, which must not exist yet, flushed to
// the disk and checked for size, with existing's permissions. A copy left
// half-written is removed.
int copyFile(const QString &existing, const QString &newName);

// Writes bytes as path in one step: into path + ".new" (hidden on Windows),
// flushed to the disk, renamed over path, and the folder flushed. path then
// holds the old bytes or the new ones, whenever the process dies. With
// Flush::Later nothing is flushed: a power cut may bring back the old bytes or,
// on some drives, an empty file, never a mix; for notes whose loss costs only time.
enum class Flush { Now, Later };
int writeFileInOneStep(const QString &path, const QByteArray &bytes, Flush flush = Flush::Now);

// Makes a folder and any missing folders above it. 0 or the error code.
int makeFolders(const QString &dir);

// Makes the folder's entries durable. On Windows the moves write through already.
int syncFolder(const QString &dir);
// Each folder once, in the order given; one removed on the way is passed over.
int syncFolders(const QStringList &dirs);
int syncToDisk(QFile &file);
// Makes the bytes of these files durable, all at once where the system can
// (Linux: one flush of the drive that holds them, instead of one per file). 0 or the error code.
int syncFiles(const QStringList &paths);

// Gives `to` the permission bits (on Windows: the attributes) of `from`; on
// POSIX systems owner-execute is added, as `to` is a program.
int copyAttributes(const QString &from, const QString &to);

// A leading dot hides a file on POSIX systems only; Windows has an attribute for it.
void hide(const QString &path);

// Opens path only when it is a plain file of its own: not a link of any kind
// (symbolic, hard, or on Windows a reparse point), not a folder or a device, so
// that a name that points elsewhere never leads a write there. With
// QIODevice::WriteOnly a missing file is created. 0 or the error code.
int openPlainFile(QFile &file, const QString &path, QIODevice::OpenMode mode);

// Opens file by its name, like QFile::open(), and keeps it open only when it
// is a plain file of its own there (no link led to it, no second name), so
// that a name that became a link is never written through. 0 or the error code.
int openOwnFile(QFile &file, QIODevice::OpenMode mode);

// What tells this version of a file on the drive from any other: its size,
// modification and change times and its identity on the drive, as version
// control tools keep in their index. Empty when it cannot be read.
QByteArray fileStamp(const QString &path);

// Whether path is a plain file of its own, as openPlainFile() would open it.
bool isPlainFile(const QString &path);

// Removes a folder of the updater's own with all it holds. A link or junction
// at the name, or anything else that is not a folder, is removed as a name:
// what it points to is never touched. 0 or the error code.
int removeTree(const QString &path);

// The SHA-256 of a file's bytes; empty when it cannot be read.
QByteArray sha256Of(const QString &path);

bool exists(const QString &path);
QString nativePath(const QString &path);

} // namespace FileOps
} // namespace Tarvino
