#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace gwtest {

std::string MakeScratch(const std::string &name) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const char *dir = mkdtemp(buf.data());
    return dir ? dir : "";
}

std::string Slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WaitForText(const std::string &path, const std::string &text, int64_t timeoutMs) {
    const int64_t until = NowMs() + timeoutMs;
    while (Slurp(path).find(text) == std::string::npos) {
        if (NowMs() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void WriteFile(const std::string &path, const std::string &text) {
    std::ofstream out(path);
    out << text;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

int ConnectLoopback(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

bool Listening(uint16_t port) {
    const int fd = ConnectLoopback(port);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

int64_t WallUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t ParseIsoUs(const std::string &text) {
    std::tm parts{};
    int us = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &us) != 7)
        return 0;
    const size_t digits = text.find('Z') - text.find('.') - 1;
    for (size_t d = digits; d < 6; ++d) us *= 10;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return int64_t{timegm(&parts)} * 1000000 + us;
}

bool Spawn(const std::vector<std::string> &argv, const std::string &outPath, const std::string &errPath,
           Child *pChild) {
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The parent may block signals for its threads; the child starts clean.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (!outPath.empty()) {
            const int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(fd, 1);
        }
        if (!errPath.empty()) {
            const int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(fd, 2);
        }
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    pChild->pid = pid;
    return true;
}

int Stop(Child *pChild, int sig, int64_t timeoutMs, double *pCpuS) {
    if (pChild->pid <= 0) return -1;
    kill(pChild->pid, sig);
    const int64_t until = NowMs() + timeoutMs;
    int status = 0;
    for (;;) {
        rusage usage{};
        const pid_t done = wait4(pChild->pid, &status, WNOHANG, &usage);
        if (done == pChild->pid && pCpuS != nullptr)
            *pCpuS = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        if (done == pChild->pid) break;
        if (NowMs() > until) {
            kill(pChild->pid, SIGKILL);
            waitpid(pChild->pid, &status, 0);
            pChild->pid = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pChild->pid = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

namespace {

bool WaitListening(uint16_t port, bool bUp, int64_t timeoutMs) {
    const int64_t until = NowMs() + timeoutMs;
    while (Listening(port) != bUp) {
        if (NowMs() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

bool StartBroker(const std::string &dir, Broker *pBroker, bool bPersist) {
    pBroker->dir = dir;
    pBroker->port = FreePort();
    const std::string persistence =
        bPersist ? "persistence true\npersistence_location " + dir + "/\n" : "persistence false\n";
    WriteFile(dir + "/mosquitto.conf", "listener " + std::to_string(pBroker->port) +
                                           " 127.0.0.1\nallow_anonymous true\n" + persistence +
                                           // As root it would change user, and so no longer die with us.
                                           "user root\n");
    return RestartBroker(pBroker);
}

bool StartSecureBroker(const std::string &dir, const std::string &user, const std::string &password,
                       Broker *pBroker) {
    // One self-signed certificate serves as the broker's and as the CA; its
    // name is the address the clients connect to, so they verify it fully.
    const std::string makeCert = std::string(ROVOD_OPENSSL_BIN) +
                                 " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                                 " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
                                 dir + "/server.key -out " + dir + "/ca.crt 2>" + dir + "/openssl.log";
    const std::string makePasswd = std::string(ROVOD_MOSQUITTO_PASSWD_BIN) + " -c -b " + dir + "/passwd " +
                                   user + " " + password + " 2>" + dir + "/passwd.log";
    if (std::system(makeCert.c_str()) != 0 || std::system(makePasswd.c_str()) != 0) return false;
    pBroker->dir = dir;
    pBroker->port = FreePort();
    WriteFile(dir + "/mosquitto.conf", "listener " + std::to_string(pBroker->port) + " 127.0.0.1\ncafile " +
                                           dir + "/ca.crt\ncertfile " + dir + "/ca.crt\nkeyfile " + dir +
                                           "/server.key\nallow_anonymous false\npassword_file " + dir +
                                           "/passwd\npersistence false\nuser root\n");
    return RestartBroker(pBroker);
}

bool RestartBroker(Broker *pBroker) {
    if (!Spawn({ROVOD_MOSQUITTO_BIN, "-c", pBroker->dir + "/mosquitto.conf"}, "",
               pBroker->dir + "/mosquitto.log", &pBroker->child))
        return false;
    return WaitListening(pBroker->port, true, 5000);
}

void StopBroker(Broker *pBroker, int sig) { Stop(&pBroker->child, sig, 3000); }

bool StartSim(Sim *pSim) {
    int pipeFd[2];
    if (pipe(pipeFd) != 0) return false;
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(pipeFd[1], 1);
        const std::string errPath = pSim->trace.empty() ? "/dev/null" : pSim->trace;
        const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(errFd, 2);
        close(pipeFd[0]);
        std::vector<std::string> argv{ROVOD_SIM_BIN, "--pty", "--plc", pSim->plcs};
        if (!pSim->trace.empty()) argv.push_back("--trace");
        if (!pSim->state.empty()) {
            argv.push_back("--state");
            argv.push_back(pSim->state);
        }
        argv.insert(argv.end(), pSim->extra.begin(), pSim->extra.end());
        std::vector<char *> args;
        for (std::string &a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipeFd[1]);
    pSim->child.pid = pid;
    pSim->pty.clear();
    char ch;
    while (read(pipeFd[0], &ch, 1) == 1 && ch != '\n') pSim->pty += ch;
    close(pipeFd[0]);
    if (pSim->pty.empty()) return false;
    // A new link under a temporary name, then moved over the old one.
    const std::string tmp = pSim->link + ".new";
    unlink(tmp.c_str());
    if (symlink(("/dev/" + pSim->pty).c_str(), tmp.c_str()) != 0) return false;
    return rename(tmp.c_str(), pSim->link.c_str()) == 0;
}

void StopSim(Sim *pSim) { Stop(&pSim->child, SIGTERM, 3000); }

bool StartPacedSims(const std::string &dir, int n, const char *pszBaud, std::vector<Sim> *pSims,
                    bool bFrozen) {
    for (int i = 0; i < n; ++i) {
        std::vector<std::string> args{"--baud", pszBaud, "--pace"};
        if (bFrozen) args.push_back("--frozen");
        pSims->push_back({dir + "/line" + std::to_string(i), "", "", "1", args, "", {}});
        if (!StartSim(&pSims->back())) return false;
    }
    return true;
}

bool StartGateway(const std::string &config, const std::string &log, Child *pChild) {
    return Spawn({ROVOD_GATEWAY_BIN, "--driver", ROVOD_DRIVER_LIB, "-c", config}, "", log, pChild);
}

namespace {

// A pty master held open (the lowest free number taken), so that the next
// simulator gets another device; -1 on failure.
int HoldPty() {
    const int fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd >= 0 && (grantpt(fd) != 0 || unlockpt(fd) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::vector<int> HoldPtyNamed(const std::string &name, int iTimeoutMs) {
    // The number comes free only once the gateway has closed its side too;
    // until then each new pty takes another number, so hold them all.
    std::vector<int> held;
    const int64_t deadline = NowMs() + iTimeoutMs;
    while (NowMs() < deadline) {
        const int fd = HoldPty();
        if (fd < 0) break;
        held.push_back(fd);
        const char *pszName = ptsname(fd);
        if (pszName != nullptr && name == pszName + 5) break;  // past "/dev/"
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return held;
}

namespace {

void OnMessage(mosquitto *, void *user, const mosquitto_message *msg) {
    Subscriber *sub = static_cast<Subscriber *>(user);
    Received r;
    r.topic = msg->topic;
    r.payload.assign(static_cast<const char *>(msg->payload), static_cast<size_t>(msg->payloadlen));
    r.bRetained = msg->retain;
    r.atUs = WallUs();
    {
        std::lock_guard<std::mutex> lock(sub->mutex);
        sub->last[r.topic] = r.payload;
        sub->all.push_back(std::move(r));
    }
    sub->cv.notify_all();
}

void OnSubscribe(mosquitto *, void *user, int, int, const int *) {
    Subscriber *sub = static_cast<Subscriber *>(user);
    {
        std::lock_guard<std::mutex> lock(sub->mutex);
        sub->bSubscribed = true;
    }
    sub->cv.notify_all();
}

}  // namespace

bool Subscribe(Subscriber *pSub, uint16_t port, const std::string &filter, const Login *pLogin,
               const std::string &persistentId) {
    {
        std::lock_guard<std::mutex> lock(pSub->mutex);
        pSub->bSubscribed = false;  // once more, after an Unsubscribe
    }
    mosquitto_lib_init();
    pSub->mosq = persistentId.empty() ? mosquitto_new(nullptr, true, pSub)
                                      : mosquitto_new(persistentId.c_str(), false, pSub);
    mosquitto_message_callback_set(pSub->mosq, OnMessage);
    mosquitto_subscribe_callback_set(pSub->mosq, OnSubscribe);
    if (pLogin != nullptr) {
        mosquitto_username_pw_set(pSub->mosq, pLogin->user.c_str(), pLogin->password.c_str());
        mosquitto_tls_set(pSub->mosq, pLogin->caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    if (mosquitto_connect(pSub->mosq, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) return false;
    mosquitto_subscribe(pSub->mosq, nullptr, filter.c_str(), 1);
    mosquitto_loop_start(pSub->mosq);
    return WaitFor(
        pSub, [pSub] { return pSub->bSubscribed; }, 3000);
}

void Unsubscribe(Subscriber *pSub) {
    if (pSub->mosq == nullptr) return;
    // Disconnected, its thread ends by itself; a cancelled one could leave
    // a lock of the client's held (a broker restarted meanwhile, say).
    mosquitto_disconnect(pSub->mosq);
    mosquitto_loop_stop(pSub->mosq, false);
    mosquitto_destroy(pSub->mosq);
    pSub->mosq = nullptr;
}

bool WaitFor(Subscriber *pSub, const std::function<bool()> &check, int64_t timeoutMs) {
    std::unique_lock<std::mutex> lock(pSub->mutex);
    return pSub->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), check);
}

std::string Last(Subscriber *pSub, const std::string &topic) {
    std::lock_guard<std::mutex> lock(pSub->mutex);
    const auto found = pSub->last.find(topic);
    return found == pSub->last.end() ? "" : found->second;
}

size_t CountHeld(const Subscriber &sub, const std::string &topic) {
    size_t n = 0;
    for (const Received &r : sub.all) n += r.topic == topic;
    return n;
}

size_t CountOf(Subscriber *pSub, const std::string &topic) {
    std::lock_guard<std::mutex> lock(pSub->mutex);
    return CountHeld(*pSub, topic);
}

namespace {

void OnPublished(mosquitto *, void *user, int) { static_cast<std::atomic<bool> *>(user)->store(true); }

}  // namespace

bool Publish(uint16_t port, const std::string &topic, const std::string &payload, bool bRetain) {
    mosquitto_lib_init();
    std::atomic<bool> bAcked{false};
    mosquitto *m = mosquitto_new(nullptr, true, &bAcked);
    mosquitto_publish_callback_set(m, OnPublished);
    bool bOk = mosquitto_connect(m, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS &&
               mosquitto_publish(m, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                 1, bRetain) == MOSQ_ERR_SUCCESS;
    // Until the broker has acknowledged it (QoS 1).
    for (int i = 0; bOk && i < 300 && !bAcked.load(); ++i) mosquitto_loop(m, 10, 1);
    bOk = bOk && bAcked.load();
    mosquitto_disconnect(m);
    mosquitto_loop(m, 10, 1);
    mosquitto_destroy(m);
    return bOk;
}

}  // namespace gwtest
