// The real components a gateway test or benchmark runs against, each
// started on loopback or on a pty and stopped after: a mosquitto broker with
// its own configuration, rovod-sim behind a symbolic link, the gateway as a
// program, and a libmosquitto subscriber that keeps every message.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

namespace gwtest {

// A fresh folder under the temporary directory.
std::string MakeScratch(const std::string &name);
std::string Slurp(const std::string &path);
// Waits until the file holds the text; false after timeoutMs.
bool WaitForText(const std::string &path, const std::string &text, int64_t timeoutMs);
void WriteFile(const std::string &path, const std::string &text);
// A TCP port on 127.0.0.1 that nothing listens on.
uint16_t FreePort();
// A socket connected to 127.0.0.1:port; -1 when nothing accepts.
int ConnectLoopback(uint16_t port);
// Whether something accepts connections on 127.0.0.1:port.
bool Listening(uint16_t port);
int64_t NowMs();
// Wall clock, µs since 1970, as the payloads' times are.
int64_t WallUs();
// A payload's time, "2026-12-08T08:43:28.663412Z" (or with ms), as WallUs.
int64_t ParseIsoUs(const std::string &text);

// A child process; it dies with its parent.
struct Child {
    pid_t pid = -1;
};
// Starts argv[0] with stdout and stderr to the files ("" keeps them).
bool Spawn(const std::vector<std::string> &argv, const std::string &outPath, const std::string &errPath,
           Child *pChild);
// Sends the signal and waits up to timeoutMs; the exit status (WEXITSTATUS),
// 128 + signal when killed, or -1 when it did not end in time. *pCpuS, when
// given, gets the CPU seconds (user and system) the child used.
int Stop(Child *pChild, int sig, int64_t timeoutMs, double *pCpuS = nullptr);

struct Broker {
    std::string dir;
    uint16_t port = 0;
    Child child;
};
// mosquitto on a free loopback port, without persistence: a restart loses
// every retained message. With bPersist it keeps them in dir across a
// restart (saved when it is stopped with SIGTERM).
bool StartBroker(const std::string &dir, Broker *pBroker, bool bPersist = false);
// mosquitto that takes TLS only, with a certificate made here for
// 127.0.0.1 (dir/ca.crt is the CA file to trust), and one user with a password.
bool StartSecureBroker(const std::string &dir, const std::string &user, const std::string &password,
                       Broker *pBroker);
// The same port again after StopBroker.
bool RestartBroker(Broker *pBroker);
void StopBroker(Broker *pBroker, int sig = 15);

struct Sim {
    std::string link;   // the symbolic link the gateway is given
    std::string state;  // memory loaded at start and saved at exit
    std::string trace;  // every frame in and out ("": no trace)
    std::string plcs;
    std::vector<std::string> extra;
    std::string pty;  // pts/N
    Child child;
};
// rovod-sim --pty behind the link (made or moved to the new pty).
bool StartSim(Sim *pSim);
void StopSim(Sim *pSim);
// n simulators of controller 1, paced at the rate, behind dir/line0, line1, ...
// Frozen: the process image does not move.
bool StartPacedSims(const std::string &dir, int n, const char *pszBaud, std::vector<Sim> *pSims,
                    bool bFrozen = true);
// rovod-gateway on the configuration, its log to the file.
bool StartGateway(const std::string &config, const std::string &log, Child *pChild);
// Holds new ptys until one has the given name ("pts/3"), or the time is up;
// the caller closes them.
std::vector<int> HoldPtyNamed(const std::string &name, int iTimeoutMs);

struct Received {
    std::string topic, payload;
    bool bRetained;
    int64_t atUs;  // wall clock at arrival
};

struct Subscriber {
    mosquitto *mosq = nullptr;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Received> all;
    std::map<std::string, std::string> last;  // by topic
    bool bSubscribed = false;
};
// How a client logs in to a secure broker.
struct Login {
    std::string user, password, caFile;
};
// Connects to the broker and subscribes to the filter; false when the
// broker does not answer within 3 s. With a client id the session is
// persistent (clean session off): the broker keeps the subscription and
// queues what arrives while the subscriber is away; it reconnects by itself.
bool Subscribe(Subscriber *pSub, uint16_t port, const std::string &filter, const Login *pLogin = nullptr,
               const std::string &persistentId = "");
void Unsubscribe(Subscriber *pSub);
// Waits until the check (called with the mutex held) holds; false after
// timeoutMs.
bool WaitFor(Subscriber *pSub, const std::function<bool()> &check, int64_t timeoutMs);
// The last payload of the topic ("" if none), and how many arrived.
std::string Last(Subscriber *pSub, const std::string &topic);
size_t CountOf(Subscriber *pSub, const std::string &topic);
// The same inside a WaitFor check, whose mutex is held.
size_t CountHeld(const Subscriber &sub, const std::string &topic);
// Publishes one message and waits for the broker to take it.
bool Publish(uint16_t port, const std::string &topic, const std::string &payload, bool bRetain = false);

}  // namespace gwtest
