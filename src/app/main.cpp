#include "tarvinoupdater.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    TarvinoUpdater updater;
    updater.show();
    return QApplication::exec();
}
