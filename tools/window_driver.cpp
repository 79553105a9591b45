// Opens the updater window against a server given on the command line, then
// either ends as soon as the window is up ("check", which prints the window's
// text) or presses Ok and lets the update run to its end ("update"). APP_DIR and IDENTITY may be "-": then the
// driver's own directory and its built-in identity are used, as in the program.
// PUBLIC_KEY (base64, or several separated by commas) replaces the built-in keys;
// "none" checks no signature; "carried" takes the keys this driver's own file
// carries after its last "\0keys ", as an updater built with them would (a
// release can ship the driver so, as its updater).
//
// Usage: tarvino_window_driver check|update BASE_URL APP_DIR IDENTITY [PUBLIC_KEY]
//        tarvino_window_driver --self-test   (as the program's own)
//
// An update that fails leaves the window open in the program; here it ends the
// driver with exit code 1 and the window's text on standard error.
//
// TARVINO_DRIVER_CA_FILE names a PEM certificate authority to trust besides the
// system's. For crash tests, TARVINO_KILL_AT_STEP=N kills the driver (SIGKILL, as a power
// cut would stop it) just before the N-th file-system step of the update, and
// TARVINO_PAUSE_BEFORE_SWAP=FILE makes it create FILE just before the new build
// is renamed over the program, and wait there until FILE is gone (a minute at most).

#include "fileops.h"
#include "signature.h"
#include "tarvinoupdater.h"
#include "updatercontext.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#if defined(Q_OS_WIN)
#  include <windows.h>
#else
#  include <csignal>
#endif

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // As the program itself: a release that ships this driver as its updater is checked with it.
    if (argc == 2 && qstrcmp(argv[1], "--self-test") == 0)
        return Tarvino::selfTest();
    if (const int killAt = qEnvironmentVariableIntValue("TARVINO_KILL_AT_STEP"); killAt > 0) {
        // Reading a file for its hash changes nothing on the drive: no kill point.
        Tarvino::setFileStepHook([killAt, steps = 0](const char *step, const QString &) mutable {
            if (qstrcmp(step, "hash") != 0 && ++steps == killAt) {
#if defined(Q_OS_WIN)
                TerminateProcess(GetCurrentProcess(), 137);
#else
                std::raise(SIGKILL);
#endif
            }
            return 0;
        });
    }
    if (const QString pauseFile = qEnvironmentVariable("TARVINO_PAUSE_BEFORE_SWAP"); !pauseFile.isEmpty()) {
        Tarvino::setFileStepHook([pauseFile](const char *step, const QString &path) {
            if (qstrcmp(step, "rename") == 0 && QFileInfo(path).fileName() == u"Tarvíno.exe") {
                if (QFile marker(pauseFile); !marker.open(QIODevice::WriteOnly))
                    qFatal("cannot create %s", qPrintable(pauseFile));
                for (QDeadlineTimer wait(60000); QFile::exists(pauseFile) && !wait.hasExpired();)
                    QThread::msleep(10);
            }
            return 0;
        });
    }
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 5 || args.size() > 6 || (args[1] != u"check" && args[1] != u"update")) {
        QTextStream(stderr) << "usage: tarvino_window_driver check|update BASE_URL APP_DIR IDENTITY "
                               "[PUBLIC_KEY|none]\n";
        return 2;
    }

    Tarvino::UpdaterContext context;
    context.downloadBaseUrl = QUrl(args[2]);
    if (args[3] != u"-")
        context.appDir = args[3];
    context.arguments = args[4] == u"-" ? QStringList{args[0]} : QStringList{args[0], args[4]};
    if (args.size() == 6) {
        const bool none = args[5] == u"none";
        QByteArray keys = args[5].toLatin1();
        if (args[5] == u"carried") {
            QFile self(QCoreApplication::applicationFilePath());
            const QByteArray bytes = self.open(QIODevice::ReadOnly) ? self.readAll() : QByteArray();
            const qsizetype at = bytes.lastIndexOf(QByteArray("\0keys ", 6));
            keys = at < 0 ? QByteArray() : bytes.mid(at + 6);
        }
        context.publicKeys = none ? QList<QByteArray>() : Tarvino::publicKeysFromText(keys);
        if (!none && context.publicKeys.isEmpty()) {
            QTextStream(stderr) << "malformed public key: " << args[5] << '\n';
            return 2;
        }
    }

    // Tests with their own certificate authority name its certificate here.
    if (const QString ca = qEnvironmentVariable("TARVINO_DRIVER_CA_FILE"); !ca.isEmpty())
        context.caCertificates = QSslCertificate::fromPath(ca);

    TarvinoUpdater window(context);
    window.show();
    const auto windowText = [&window] { return window.findChild<QLabel *>()->text(); };
    auto *ok = window.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
    if (args[1] == u"check") {
        QTextStream(stdout) << windowText() << '\n';
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    } else if (!ok->isEnabled()) {
        QTextStream(stderr) << "no update offered:\n" << windowText() << '\n';
        return 1;
    } else {
        QTimer::singleShot(0, ok, [&] {
            ok->click(); // returns once the update has ended
            if (window.isVisible()) {
                QTextStream(stderr) << windowText() << '\n';
                QCoreApplication::exit(1);
            }
        });
    }
    return QApplication::exec();
}
