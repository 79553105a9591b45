#pragma once

#include <QString>

// A log for support in the application folder: on Windows nobody sees a GUI
// program's debug output, so a user whose update failed has this to send.
// Every message of the process goes to it as well as to the debug output,
// which stays as it is, and so do the lines given to write(), which go to the
// log alone. Each line, with its time and process, is appended in one write,
// so that two updaters never interleave half lines.
namespace Tarvino::SupportLog {

inline constexpr char FileName[] = "TarvinoUpdater.log";
// Past MaxSize at a start, the log keeps its newest KeptSize, from a line's start.
inline constexpr qint64 MaxSize = 512 * 1024;
inline constexpr qint64 KeptSize = 256 * 1024;

// From now on, messages also go to the log file at path; stop() ends that.
void start(const QString &path);
void stop();

// A line for the log alone; nothing when no log was started.
void write(const QString &text);

// Shortens the log as said above; call it only while holding the folder's lock.
bool trim(const QString &path, qint64 maxSize = MaxSize, qint64 keptSize = KeptSize);

} // namespace Tarvino::SupportLog
