// The program's own main(), started as the application starts it, with its
// built-in server address: the window is shown whether or not a server
// answers, and main() returns what the event loop returned, 0 when Close is
// pressed. Run twice, once ended by Close and once by an exit with status 7.

#include "tarvinoupdater.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

#define main updaterMain
#include "../src/app/main.cpp"
#undef main

namespace {

bool closeWithButton = true;
bool shown = false;

// Called as each application object is made; acts once the window is up.
void endOnceShown()
{
    shown = false;
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [poll] {
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget *window : windows) {
            if (!qobject_cast<TarvinoUpdater *>(window) || !window->isVisible())
                continue;
            shown = true;
            poll->stop();
            if (closeWithButton)
                window->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Close)->click();
            else
                QCoreApplication::exit(7);
        }
    });
    poll->start(10);
}
Q_COREAPP_STARTUP_FUNCTION(endOnceShown)

} // namespace

int main(int, char *argv[])
{
    char identity[] = "Tarvino-6.10.1-20251201";
    int failed = 0;
    for (const auto &[byButton, expected] : {std::pair{true, 0}, std::pair{false, 7}}) {
        closeWithButton = byButton;
        char *arguments[] = {argv[0], identity, nullptr};
        int count = 2;
        const int status = updaterMain(count, arguments);
        const bool good = shown && status == expected;
        std::printf("%s: %s: shown %d, main returned %d (expected %d)\n", good ? "PASS" : "FAIL",
                    byButton ? "Close pressed" : "the event loop ended with 7", int(shown), status, expected);
        failed += good ? 0 : 1;
    }
    std::printf("%d passed, %d failed\n", 2 - failed, failed);
    return failed;
}
