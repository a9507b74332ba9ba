// Samples the broker has not acknowledged, kept on disk (SQLite in WAL mode)
// until it has: those made while the broker is away, and those in flight
// when the connection broke. One thread (the publisher) owns a store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace gateway {

struct Sample {
    int64_t seq = 0;  // its place in the store, oldest first
    std::string topic, payload;
};

struct Store {
    std::string path;
    uint64_t maxBytes = 0;
    sqlite3 *db = nullptr;
    sqlite3_stmt *insert = nullptr, *next = nullptr, *erase = nullptr;
    std::vector<Sample> pending;  // made, not committed yet
    std::vector<int64_t> acked;   // delivered, not deleted yet
    uint64_t rows = 0;            // samples held
    // Since the start.
    uint64_t stored = 0, replayed = 0, dropped = 0;
    // Said once per outage.
    bool bFullSaid = false, bFaultSaid = false;
};

// Opens (or makes) the store; one that is corrupt or no database is moved
// aside as PATH.corrupt-TIME and a new one made. False, said in the log,
// when none can be had: the gateway runs on without.
bool OpenStore(Store *s, const std::string &path, uint32_t maxMb);
// Commits what is pending and closes.
void CloseStore(Store *s);
bool StoreOpen(const Store &s);

// A sample for the next commit.
void AddSample(Store *s, std::string topic, std::string payload);
// One transaction: the pending samples in, the delivered ones out; then the
// oldest go while the store holds more than its bound. A disk that is full
// or failing loses the transaction's samples (counted as dropped, said
// once), never the gateway.
void CommitStore(Store *s);
// Up to n samples after seq, oldest first.
std::vector<Sample> NextSamples(Store *s, int64_t afterSeq, size_t n);
// The bytes the samples take in the file.
uint64_t StoreBytes(Store *s);
// A new outage: the bound and faults are said again.
void NewOutage(Store *s);

}  // namespace gateway
