#include "modbus_server.h"

#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "report.h"

namespace gateway {

namespace {

struct WriteWait {
    std::mutex mutex;
    std::condition_variable cv;
    bool bDone = false;
    uint32_t result = 0;
};

void ServeClient(ModbusServer *s, int fd) {
    // Serving gives way to everything else when the machine is busy: above
    // all to the kernel threads that move the lines' data, which the line
    // threads' own priority cannot lift. SCHED_IDLE, because a woken kernel
    // thread takes the CPU from it at once, where a nice 19 thread keeps it
    // for the rest of its slice (measured on 2 cores, 8 busy local clients:
    // the serial cycle 1.07 to 2.75 times the idle one at nice 19, 1.01 to
    // 1.6 times at SCHED_IDLE). A reply costs some 40 µs, so serving keeps up
    // wherever CPU is left.
    const sched_param idle{};
    if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &idle) != 0)
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", s->config.port);
    Gateway *gw = s->gw;
    const WriteFn write = [gw](const ModbusMap *map, size_t line, size_t gate, double value) {
        return WriteThroughLine(gw, map, line, gate, value);
    };
    if (ctx != nullptr) {
        modbus_set_socket(ctx, fd);
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        while (!s->bStop.load()) {
            // -1: the client went, sent what is no request, or stopped in the
            // middle of one for longer than the byte time-out.
            const int length = modbus_receive(ctx, query);
            if (length < 0) break;
            if (length == 0) continue;
            modbus_mapping_t *mapping = nullptr;
            const uint8_t code = Answer(gw, query, length, write, &mapping);
            const int sent = code != 0 ? modbus_reply_exception(ctx, query, code)
                                       : modbus_reply(ctx, query, length, mapping);
            if (mapping != nullptr) modbus_mapping_free(mapping);
            if (sent < 0) break;
        }
    }
    if (ctx != nullptr) modbus_free(ctx);
    // The last touch of the server, under its lock: once StopModbus has seen
    // the list empty the server may be gone.
    std::lock_guard<std::mutex> lock(s->mutex);
    s->clients.erase(std::remove(s->clients.begin(), s->clients.end(), fd), s->clients.end());
    close(fd);
    s->cv.notify_all();
}

void AcceptLoop(ModbusServer *s) {
    while (!s->bStop.load()) {
        pollfd p{s->listenFd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        const int fd = accept4(s->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(s->mutex);
        if (s->clients.size() >= s->config.maxClients) {
            Log("modbus: a client refused, %zu are connected (max_clients)", s->clients.size());
            close(fd);
            continue;
        }
        s->clients.push_back(fd);
        std::thread(ServeClient, s, fd).detach();
    }
}

}  // namespace

uint32_t WriteThroughLine(Gateway *gw, const ModbusMap *map, size_t lineIndex, size_t gate, double value) {
    auto wait = std::make_shared<WriteWait>();
    auto abandoned = std::make_shared<std::atomic<bool>>(false);
    std::chrono::milliseconds limit{0};
    {
        std::lock_guard<std::mutex> lock(gw->linesMutex);
        // A reload in between: the indices may name another gate now.
        if (gw->modbusMap.get() != map || lineIndex >= gw->lines.size()) return ZEV_REJECTED;
        Line *line = gw->lines[lineIndex].get();
        limit = std::chrono::milliseconds(9 * 10 * line->config.timeout + 1000);
        WriteRequest request;
        request.gate = gate;
        request.value = value;
        request.pAbandoned = abandoned;
        request.done = [wait](const WriteOutcome &out) {
            {
                std::lock_guard<std::mutex> l(wait->mutex);
                wait->bDone = true;
                wait->result = out.result;
            }
            wait->cv.notify_all();
        };
        if (!QueueWrite(line, std::move(request))) return ZEV_REJECTED;
    }
    std::unique_lock<std::mutex> lock(wait->mutex);
    if (!wait->cv.wait_for(lock, limit, [&] { return wait->bDone; })) {
        abandoned->store(true);
        return kWriteTimedOut;
    }
    return wait->result;
}

bool StartModbus(ModbusServer *s, Gateway *gw, std::string *pError) {
    s->gw = gw;
    s->config = gw->config.modbus;
    s->bStop.store(false);
    modbus_t *ctx = modbus_new_tcp(s->config.listen.c_str(), s->config.port);
    if (ctx == nullptr) {
        *pError = std::string("modbus: ") + modbus_strerror(errno);
        return false;
    }
    s->listenFd = modbus_tcp_listen(ctx, 16);
    const int error = errno;
    modbus_free(ctx);
    if (s->listenFd < 0) {
        *pError = "modbus: cannot listen on " + s->config.listen + ":" + std::to_string(s->config.port) +
                  ": " + std::strerror(error);
        return false;
    }
    s->acceptor = std::thread(AcceptLoop, s);
    Log("modbus: listening on %s:%u", s->config.listen.c_str(), s->config.port);
    return true;
}

void StopModbus(ModbusServer *s) {
    if (s->listenFd < 0) return;
    s->bStop.store(true);
    if (s->acceptor.joinable()) s->acceptor.join();
    close(s->listenFd);
    s->listenFd = -1;
    std::unique_lock<std::mutex> lock(s->mutex);
    for (int fd : s->clients) shutdown(fd, SHUT_RDWR);
    s->cv.wait(lock, [s] { return s->clients.empty(); });
}

}  // namespace gateway
