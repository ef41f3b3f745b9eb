#include "app/CortaviaApp.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // No settings, no arguments: the program name is the application name.
    CMyCortaviaApp theApp;
    return theApp.InitInstance() ? app.exec() : 0;
}
