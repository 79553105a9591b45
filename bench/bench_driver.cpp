// Opens the updater window against a server given on the command line, then
// either ends as soon as the window is up ("check") or presses Ok and lets the
// update run to its end ("update").
//
// Usage: tarvino_bench_driver check|update BASE_URL APP_DIR IDENTITY

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
        QTextStream(stderr) << "usage: tarvino_bench_driver check|update BASE_URL APP_DIR IDENTITY\n";
        return 2;
    }

    Tarvino::UpdaterContext context;
    context.downloadBaseUrl = QUrl(args[2]);
    context.appDir = args[3];
    context.arguments = QStringList{args[0], args[4]};

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
