// One controller line: a thread that owns the line's driver instance, polls
// its gates into a value cache and serves the writes queued for it between
// reads. Publishers and servers read the cache and queue writes; they never
// touch the instance.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "host.h"

namespace gateway {

// Values a gate can hold: a block of 63 bytes, or the 54 floats a type-3
// block may grow to.
constexpr size_t kMaxValues = 64;

// Result of a gate never read yet.
constexpr uint32_t kNotRead = 0xFFFFFFFF;

// A gate's entry in the cache.
struct GateValue {
    uint32_t result = kNotRead;  // of the last attempt
    bool bHasValue = false;      // a good value has been read
    uint16_t count = 0;          // values held
    double values[kMaxValues]{};
    int64_t goodUs = 0;     // wall clock (µs since 1970) of the last good value
    int64_t tryUs = 0;      // of the last attempt
    uint64_t attempts = 0;  // every read attempt
    uint64_t changes = 0;   // every change of the values or of the result
    std::string reason;     // the driver's line on the last failure
};

struct WriteOutcome {
    uint32_t result = 0;
    std::string error;  // empty on success
    double value = 0;
    int64_t timeUs = 0;
};

// A write for the line thread. done runs on the line thread once the write
// has been made (and, when it succeeded, the gate read back into the cache).
struct WriteRequest {
    size_t gate = 0;
    double value = 0;
    std::function<void(const WriteOutcome &)> done;
    // Set by a writer that stopped waiting: the write is left out if it has
    // not begun.
    std::shared_ptr<std::atomic<bool>> pAbandoned;
};

struct LineCounters {
    uint64_t cycles = 0;
    double lastCycleMs = 0, maxCycleMs = 0, sumCycleMs = 0;  // max and sum since the last report
    uint64_t windowCycles = 0;
    uint64_t reads = 0;
    uint64_t failures[4]{};  // by result code 0..3 (0 unused)
    uint64_t retries = 0;
    uint64_t writes = 0;
    // Requests on the line and the time spent in them, since the last report.
    uint64_t windowRequests = 0;
    double windowBusyMs = 0;
    int64_t windowStartUs = 0;  // wall clock of the last report (or the start)
};

// A mutex with priority inheritance. The line threads poll at real-time
// priority; a reader (the publisher, a Modbus client's thread) that holds a
// line's lock when its thread wants it runs at the line's priority until it
// lets go, instead of keeping the line waiting while it is preempted.
struct PiMutex {
    pthread_mutex_t handle;
    PiMutex() {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&handle, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~PiMutex() { pthread_mutex_destroy(&handle); }
    PiMutex(const PiMutex &) = delete;
    PiMutex &operator=(const PiMutex &) = delete;
    void lock() { pthread_mutex_lock(&handle); }
    void unlock() { pthread_mutex_unlock(&handle); }
};

// Wakes whoever waits for news from the lines (the publisher).
struct Notifier {
    PiMutex mutex;
    std::condition_variable_any cv;
    uint64_t generation = 0;
};
void Notify(Notifier *pNotifier);

struct Line {
    LineConfig config;
    bool bVerbose = false;
    Notifier *pNotify = nullptr;
    rovod::ZevMainFn pZevMain = nullptr;

    // Shared with readers; mutex guards all of it.
    PiMutex mutex;
    std::condition_variable_any wake;  // writes queued, stop
    std::vector<GateValue> cache;      // one per configured gate
    std::deque<WriteRequest> writes;
    bool bStop = false;
    bool bOnline = false;      // port open and a controller answering
    std::string portShown;     // the device the port resolved to
    std::string statusReason;  // why the line is offline
    uint64_t statusChanges = 0;
    std::map<int, bool> controllers;     // by address: answering, once decided
    std::map<int, double> turnaroundMs;  // by address, as the reader measures it
    uint64_t controllerChanges = 0;
    uint64_t passes = 0;  // passes over the due gates (a poll cycle each)
    LineCounters counters;

    // The publisher's own: what it has sent of the status and of each gate.
    uint64_t sentStatus = 0, sentControllers = 0;
    std::vector<uint64_t> sentAttempts, sentChanges;

    // The line thread's own.
    std::thread thread;
    rovod::HostState host;
    rovod::Session session;
};

// A line with an empty cache, not started: readers may see it at once.
std::unique_ptr<Line> NewLine(const LineConfig &config, rovod::ZevMainFn pZevMain, bool bVerbose,
                              Notifier *pNotify);
// Starts the line's thread: it installs the instance (ColdStart, with the
// control-signal file from the line's folder) and polls until StopLine.
void StartLine(Line *line);
// Asks the thread to stop after the transaction under way, and waits for it.
// Queued writes are answered with result 1. The instance stays installed,
// its port closed.
void StopLine(Line *line);

// Queues a write; false (nothing queued) when the line is stopping.
bool QueueWrite(Line *line, WriteRequest request);

// Whether the number can go to the gate, and why not.
bool CheckWriteValue(const GateConfig &gate, double value, std::string *pWhy);
// An integer gate that takes negative values ($FDELAY).
bool SignedGate(const GateConfig &gate);

// Wall clock in µs since 1970, and as ISO 8601 UTC with microseconds.
int64_t WallUs();
std::string IsoTime(int64_t us);

}  // namespace gateway
