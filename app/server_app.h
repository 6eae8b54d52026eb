#pragma once
// CServerApp: the application object. InitInstance keeps the program to one
// instance per user session, opens the LastMod stamp, binds the optional
// functions and runs the main window until Shutdown.
//
// One instance: the first one holds a lock file in the session's run
// directory and listens on a local socket beside it. A second start finds
// the lock held, asks the first one over the socket to show its window,
// says on standard error that the server is already running, and ends;
// when the first one has no window yet (or does not answer) it also shows
// message 2098. The kernel drops the lock of a process that died,
// so a crash never blocks the next start.

#include "platform/instance_lock.h"

#include <QLocalServer>
#include <QString>

#include <memory>

class CMainDialog;

inline constexpr unsigned kAlreadyRunningId = 2098;
inline constexpr const char* kInstanceName = "Velmora_Loaded";
// How long a second start waits for the first one to answer.
inline constexpr int kRaiseAnswerMs = 5000;

// The version word of the layouts (kVersionWord): a constant here, as no
// system this program runs on needs the older twins.
unsigned SystemVersionWord();

class CServerApp {
public:
    CServerApp() = default;
    CServerApp(const CServerApp&) = delete;
    CServerApp& operator=(const CServerApp&) = delete;
    ~CServerApp();

    // Always false: the program ends when it returns.
    bool InitInstance();

    // Where the marker files are.
    static QString LockPath();
    static QString SocketPath();

private:
    // The second start's part: true when the first instance raised its window.
    static bool RaiseFirstInstance();
    void Listen();

    platform::InstanceLock m_lock;
    QLocalServer m_server;
    CMainDialog* m_mainWnd = nullptr;
};
