// Opens the updater window against a server given on the command line, then
// either ends as soon as the window is up ("check") or presses Ok and lets the
// update run to its end ("update"). APP_DIR and IDENTITY may be "-": then the
// driver's own directory and its built-in identity are used, as in the program.
//
// Usage: tarvino_window_driver check|update BASE_URL APP_DIR IDENTITY

#include "tarvinoupdater.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 5 || (args[1] != u"check" && args[1] != u"update")) {
        QTextStream(stderr) << "usage: tarvino_window_driver check|update BASE_URL APP_DIR IDENTITY\n";
        return 2;
    }

    Tarvino::UpdaterContext context;
    context.downloadBaseUrl = QUrl(args[2]);
    if (args[3] != u"-")
        context.appDir = args[3];
    context.arguments = args[4] == u"-" ? QStringList{args[0]} : QStringList{args[0], args[4]};

    TarvinoUpdater window(context);
    window.show();
    auto *ok = window.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
    if (args[1] == u"check") {
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    } else if (!ok->isEnabled()) {
        QTextStream(stderr) << "no update offered\n";
        return 1;
    } else {
        QTimer::singleShot(0, ok, &QPushButton::click);
    }
    return QApplication::exec();
}
