#include "tarvinoupdater.h"
#include "updatercontext.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc == 2 && qstrcmp(argv[1], "--self-test") == 0)
        return Tarvino::selfTest();
    TarvinoUpdater updater;
    updater.show();
    return QApplication::exec();
}
