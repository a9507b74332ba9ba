// The Modbus TCP server (Debian's libmodbus): a listening thread and a thread
// per client, each receiving with modbus_receive and answering with
// modbus_reply or modbus_reply_exception. Reads come from the value cache;
// a write waits for its line, so it holds up only the client that made it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway.h"

namespace gateway {

struct ModbusServer {
    Gateway *gw = nullptr;
    ModbusConfig config;
    int listenFd = -1;
    std::thread acceptor;
    std::atomic<bool> bStop{false};

    std::mutex mutex;  // guards what follows
    std::condition_variable cv;
    std::vector<int> clients;  // their sockets, while their threads run
};

// Listens on the configured address; false with a message when it cannot.
bool StartModbus(ModbusServer *s, Gateway *gw, std::string *pError);
// Stops listening, ends every client's connection and waits for its thread.
void StopModbus(ModbusServer *s);

// A write through the line's queue, waited for as long as the line may take
// (three attempts each of a read under way, the write and its read-back).
uint32_t WriteThroughLine(Gateway *gw, const ModbusMap *map, size_t line, size_t gate, double value);

}  // namespace gateway
