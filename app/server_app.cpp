#include "app/server_app.h"

#include "app/dialog_templates.h"
#include "app/kit/message_box.h"
#include "app/main_dialog.h"
#include "config/last_mod_stamp.h"
#include "framework/wsocket.h"
#include "service/engine.h"

#include <QLocalSocket>
#include <QSystemTrayIcon>

#include <cstdio>

namespace {

constexpr const char* kRaiseRequest = "show\n";
constexpr char kRaised = '1';
constexpr char kNoWindow = '0';

} // namespace

CServerApp::~CServerApp() = default;

QString CServerApp::LockPath()
{
    return QString::fromStdString(platform::SessionRunDirectory()) + QLatin1Char('/') +
           QLatin1String(kInstanceName) + QLatin1String(".lock");
}

QString CServerApp::SocketPath()
{
    return QString::fromStdString(platform::SessionRunDirectory()) + QLatin1Char('/') +
           QLatin1String(kInstanceName) + QLatin1String(".sock");
}

bool CServerApp::RaiseFirstInstance()
{
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(kRaiseAnswerMs))
        return false;
    socket.write(kRaiseRequest);
    if (!socket.waitForBytesWritten(kRaiseAnswerMs))
        return false;
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(kRaiseAnswerMs))
            return false;
    }
    char answer = 0;
    return socket.getChar(&answer) && answer == kRaised;
}

void CServerApp::Listen()
{
    // A socket file left by an instance that died is in the way; the lock
    // says none is alive.
    QLocalServer::removeServer(SocketPath());
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    m_server.listen(SocketPath());
    QObject::connect(&m_server, &QLocalServer::newConnection, &m_server, [this] {
        while (QLocalSocket* client = m_server.nextPendingConnection()) {
            QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            QObject::connect(client, &QLocalSocket::readyRead, client, [this, client] {
                if (!client->canReadLine())
                    return;
                client->readAll();
                if (m_mainWnd) {
                    m_mainWnd->ShowFromTray();
                    client->putChar(kRaised);
                } else {
                    client->putChar(kNoWindow);
                }
                client->flush();
                client->disconnectFromServer();
            });
        }
    });
}

unsigned SystemVersionWord() { return kVersionWord; }

bool CServerApp::InitInstance()
{
    int locked = m_lock.TryAcquire(LockPath().toStdString());
    if (locked == platform::InstanceLock::kErrorAlreadyHeld) {
        // A start from a terminal (make run-app) would otherwise end without
        // a word when the first instance's window comes forward elsewhere.
        const bool raised = RaiseFirstInstance();
        std::fprintf(stderr, "%s%s\n", LoadQString(kAlreadyRunningId).toLocal8Bit().constData(),
                     raised ? "  Its window has been brought to the front." : "");
        std::fflush(stderr);
        if (!raised)
            VelmoraMessageBox(nullptr, kAlreadyRunningId, kMbOk);
        return false;
    }
    // A run directory that cannot be had does not stop the server; only the
    // single-instance guard is lost.
    if (locked == 0)
        Listen();

    bool trayMode = QSystemTrayIcon::isSystemTrayAvailable();
    GlobalLastModStamp().Open(platform::RegistryKey::LocalMachine(), kProductKeyPath, kLastModValueName);

    CMainDialog dialog(trayMode);
    m_mainWnd = &dialog;
    BindFiberAPI();
    if (GetEngineFunctions().fibers)
        BindCompletionPortAPI();
    BindSocketAPI();
    dialog.DoModal();
    UnbindSocketAPI();
    m_mainWnd = nullptr;
    m_server.close();
    m_lock.Release();
    return false;
}
