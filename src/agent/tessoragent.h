#pragma once

#include "agent/messageassembler.h"
#include "players/playerslot.h"
#include "players/workingfolders.h"
#include "settings/settings.h"

#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QtGlobal>

#include <libwebsockets.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One WebSocket server on one port: its libwebsockets context, the callbacks that join
// received pieces into requests, the replies, and the loop its worker thread runs.
//
// Threads: the constructor, createContext() and stopServer() run on the thread that owns the
// agent (the main thread); serviceLoop() and every library callback run on the worker thread
// that calls serviceLoop(). terminate() may be called from any thread.
class TessorAgent : public QObject
{
    Q_OBJECT

public:
    TessorAgent(quint16 port, const std::string &certFile, const std::string &keyFile,
                const std::string &keyPassphrase);
    ~TessorAgent() override;

    void setLaunchCallback(LaunchCallback fn);
    // Before createContext(); read by the worker from then on.
    // The defaults serve any page on every interface, a pass a second.
    void setNetworkSettings(const NetworkSettings &settings);
    // The player files of this agent's latest Play (and older ones not removable yet).
    PlayFiles &playFiles() { return m_playFiles; }

    // At most this many connections at once, the listening socket aside; more are refused at
    // once. The library's header slots cover them all, so a stalled handshake never makes
    // another wait for one.
    static constexpr std::size_t kMaxConnections = 512;
    // Of those, this many are kept for loopback peers: hosts of the network cannot shut out the
    // local pages.
    static constexpr std::size_t kLoopbackSlots = 64;
    // Replies not yet taken by the socket, per connection and per agent. Past either, that
    // connection is no longer read until its replies leave.
    static constexpr std::size_t kUnsentConnectionBytes = std::size_t(1) << 20;
    static constexpr std::size_t kUnsentAgentBytes = std::size_t(16) << 20;
    // A connection that is no longer read and whose replies do not move for this long is closed.
    static constexpr int kStalledReaderSecs = 30;
    // A connection silent this long gets a ping; one that does not answer it this long is closed.
    static constexpr int kSilentSecs = 30;
    static constexpr int kPongSecs = 30;
    // A connection whose message stays unfinished this long without a new piece is closed.
    static constexpr int kSilentUnfinishedSecs = 30;
    // A connection that has not completed its handshake by then is closed.
    static constexpr int kHandshakeSecs = 5;

    // Creates the libwebsockets context; false when one exists already or creation fails.
    bool createContext();

    // Runs on the calling (worker) thread until the agent is stopped or the library fails.
    void serviceLoop();

    // Stops the loop, waits until the worker has left it (or never entered it), then destroys
    // the context on the calling thread. Idempotent; true: no context is left. Called from
    // inside the loop it only stops it (false while the context remains).
    bool stopServer();

    // A complete request on a connection, as received and as parsed: logs it and sends the
    // one reply.
    void onMessage(lws *connection, std::string text, QJsonObject request);

    // Sends one text frame on the connection; any length is sent whole.
    void sendMessage(lws *connection, std::string text);

    void OnConnected(lws *connection);
    void onDisconnected(lws *connection);

public slots:
    // Stops the loop from any thread; it ends at its next check.
    void terminate();
    void processFinished(int n, QProcess::ExitStatus status);

private:
    friend int Tessor_service_callback(lws *, lws_callback_reasons, void *, void *, size_t);
    friend int mutex_service_callback(lws *, lws_callback_reasons, void *, void *, size_t);

    friend int liveview_service_callback(lws *, lws_callback_reasons, void *, void *, size_t);
    using Clock = std::chrono::steady_clock;

    // One open connection: its text, whether its silent-message timer runs, the replies it has
    // not taken yet, and when it was last heard.
    struct Connection {
        explicit Connection(TextBudget *budget) : assembler(budget) {}
        MessageAssembler assembler;
        bool timerArmed = false;
        bool loopback = false;
        bool established = false;
        std::deque<std::string> unsent; // replies not handed to the library yet, oldest first
        std::size_t inLibraryBytes = 0; // the reply the library still holds part of
        std::size_t unsentBytes = 0;    // both of the above
        bool readPaused = false;
        Clock::time_point drainedAt;    // a reply last left, or reading paused
        Clock::time_point heardAt;      // the last frame or pong
        bool pingDue = false;           // to be written at the next writeable
        bool pingSent = false;          // no pong since
        Clock::time_point pingAt;
    };

    // Ticks once a second on the worker to ping silent connections and close dead ones.
    struct SweepTimer {
        lws_sorted_usec_list_t sul; // first: the library hands this back
        TessorAgent *agent;
        lws_context *context;
    };
    static void sweepConnections(lws_sorted_usec_list_t *sul);

    void receivePiece(lws *connection, const char *data, size_t length);
    bool admitConnection(bool loopback);
    int confirmUpgrade(lws *connection);
    void onEstablished(lws *connection);
    void noteHeard(lws *connection, bool pong);
    void onWriteable(lws *connection);
    void writeNextReply(lws *connection, Connection &state);
    void settleSent(Connection &state);
    void updateReading(lws *connection, Connection &state);
    void sweep(Clock::time_point now);
    void closeConnection(lws *connection, const char *why);
    void raiseStop(); // with m_contextMutex held
    int servicePass(lws_context *context);
    lws_context *createLoopbackContext();

    // Set by any thread, read by the worker once per pass and by request handlers (cancel).
    std::atomic<bool> m_bStop;
    const int m_nPort;
    // Written by createContext() and stopServer() under m_contextMutex; the worker reads it
    // under the same mutex and uses it only between entering and leaving serviceLoop().
    lws_context *m_pContext;
    // Filled by createContext() before the worker starts, then only read by the library.
    lws_protocols m_protocols[4];
    const std::string m_fileCert;
    const std::string m_filePrivateKey;
    const std::string m_keyPassphrase;
    lws_context_creation_info m_info; // owner thread only, before the worker starts
    NetworkSettings m_options; // set before the worker starts, then only read
    // Its launch callback is set before the worker starts; then worker thread only.
    PlayerSlot m_playerSlot;
    PlayFiles m_playFiles; // worker thread only

    // Guards m_pContext, m_bInLoop and m_workerId; m_loopChanged signals both the loop's exit and a stop
    // request (which ends the loop's sleep early).
    std::mutex m_contextMutex;
    std::condition_variable m_loopChanged;
    bool m_bInLoop; // the worker is between entering and leaving serviceLoop()
    std::thread::id m_workerId; // the thread in serviceLoop() while m_bInLoop

    // One entry per open connection (from LWS_CALLBACK_WSI_CREATE to WSI_DESTROY, so the
    // listening socket has none), charged to the agent's one budget. Both touched only by the
    // thread that services the context: the worker, or the stopping thread after the worker
    // has left serviceLoop(). The budget is declared first: it outlives the entries.
    TextBudget m_budget;
    std::map<lws *, Connection> m_connections;
    bool m_bAtConnectionLimit; // same thread; the limit is recorded once each time it is reached
    std::size_t m_nNetworkConnections; // same thread: entries whose peer is not loopback
    std::size_t m_nUnsentBytes;        // same thread: the entries' unsentBytes summed
    bool m_bAdmittingLoopback; // same thread: what the admission just before WSI_CREATE saw
    SweepTimer m_sweep;        // worker only, scheduled while the loop runs
    // Wakes lws_service after 50 ms; scheduled and cancelled by the worker only.
    lws_sorted_usec_list_t m_serviceBound;
    int m_nPiecesThisCall; // worker thread only: pieces received by the current lws_service call
};

// Library callbacks of the protocol table (entries 0 to 2) and the library's log hook.
int Tessor_service_callback(lws *wsi, lws_callback_reasons reason, void *user, void *in, size_t len);
int mutex_service_callback(lws *wsi, lws_callback_reasons reason, void *user, void *in, size_t len);
int liveview_service_callback(lws *wsi, lws_callback_reasons reason, void *user, void *in, size_t len);
void lwsl_syslog(int level, const char *line);

// True when the peer of the connection is the IPv4 loopback address "127.0.0.1".
bool isLocalPeer(lws *connection);

// The peer's address as numeric text ("127.0.0.1", "::1"), IPv4 peers of the dual-stack socket
// without their "::ffff:" prefix; never a name (no lookup on the agent's thread).
std::string peerAddress(lws *connection);
