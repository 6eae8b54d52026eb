// Velmora: the servers hosted by a windowed application with a tray icon.

#include "app/server_app.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    // Hidden behind the tray icon is still running.
    application.setQuitOnLastWindowClosed(false);
    CServerApp app;
    app.InitInstance();
    return 0;
}
