#include "store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "report.h"

namespace gateway {

namespace {

bool Exec(sqlite3 *db, const char *sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

int64_t Single(sqlite3 *db, const char *sql) {
    sqlite3_stmt *stmt = nullptr;
    int64_t value = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
        value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return value;
}

// The first column of the first row as text; "" when there is none.
std::string Text(sqlite3 *db, const char *sql) {
    sqlite3_stmt *stmt = nullptr;
    std::string value;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
        const unsigned char *text = sqlite3_column_text(stmt, 0);
        if (text != nullptr) value = reinterpret_cast<const char *>(text);
    }
    sqlite3_finalize(stmt);
    return value;
}

void Release(Store *s) {
    for (sqlite3_stmt **stmt : {&s->insert, &s->next, &s->erase}) {
        sqlite3_finalize(*stmt);
        *stmt = nullptr;
    }
    if (s->db != nullptr) sqlite3_close(s->db);
    s->db = nullptr;
}

// The file as a store: WAL, every commit on the disk before it returns
// (FULL), the table, the statements, and a check of every page.
bool Init(Store *s, std::string *pWhy) {
    const int rc =
        sqlite3_open_v2(s->path.c_str(), &s->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    const auto fail = [&](const std::string &what) {
        *pWhy = what + (s->db ? sqlite3_errmsg(s->db) : sqlite3_errstr(rc));
        Release(s);
        return false;
    };
    if (rc != SQLITE_OK) return fail("");
    sqlite3_busy_timeout(s->db, 1000);
    if (Text(s->db, "PRAGMA journal_mode=WAL") != "wal") return fail("no WAL: ");
    if (!Exec(s->db, "PRAGMA synchronous=FULL; PRAGMA journal_size_limit=4194304;") ||
        !Exec(
            s->db,
            "CREATE TABLE IF NOT EXISTS samples(seq INTEGER PRIMARY KEY AUTOINCREMENT, topic TEXT NOT NULL, "
            "payload TEXT NOT NULL)"))
        return fail("");
    const std::string verdict = Text(s->db, "PRAGMA quick_check(1)");
    if (verdict != "ok") return fail(verdict.empty() ? "" : verdict + ": ");
    if (sqlite3_prepare_v2(s->db, "INSERT INTO samples(topic, payload) VALUES(?, ?)", -1, &s->insert,
                           nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(s->db,
                           "SELECT seq, topic, payload FROM samples WHERE seq > ? ORDER BY seq LIMIT ?", -1,
                           &s->next, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(s->db, "DELETE FROM samples WHERE seq = ?", -1, &s->erase, nullptr) != SQLITE_OK)
        return fail("");
    const int64_t rows = Single(s->db, "SELECT count(*) FROM samples");
    if (rows < 0) return fail("");
    s->rows = static_cast<uint64_t>(rows);
    return true;
}

std::string Stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

bool Exists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// The file (and its log) kept for a look, out of the way of a new store.
bool MoveAside(const std::string &path, std::string *pAside) {
    *pAside = path + ".corrupt-" + Stamp();
    if (std::rename(path.c_str(), pAside->c_str()) != 0) return false;
    if (Exists(path + "-wal")) std::rename((path + "-wal").c_str(), (*pAside + "-wal").c_str());
    std::remove((path + "-shm").c_str());
    return true;
}

bool Corrupt(int rc) {
    rc &= 0xFF;
    return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
}

// A store found corrupt while running: set aside, a new one started.
void Reopen(Store *s) {
    Release(s);
    const uint64_t rows = s->rows;
    std::string aside, why;
    if (MoveAside(s->path, &aside) && Init(s, &why)) {
        Log("store %s is corrupt: moved aside as %s with %llu samples; a new store started", s->path.c_str(),
            aside.c_str(), static_cast<unsigned long long>(rows));
        return;
    }
    Log("store %s is corrupt and no new one can be made: samples made while the broker is away are lost",
        s->path.c_str());
}

// The oldest samples out until the store is under its bound again, with a
// tenth to spare so that this is not done at every commit.
void Trim(Store *s) {
    const uint64_t bytes = StoreBytes(s);
    if (bytes <= s->maxBytes || s->rows == 0) return;
    const double keep = static_cast<double>(s->rows) * 0.9 * static_cast<double>(s->maxBytes) / bytes;
    const uint64_t n =
        std::max<uint64_t>(1, s->rows - std::min<uint64_t>(s->rows, static_cast<uint64_t>(keep)));
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(s->db,
                           "DELETE FROM samples WHERE seq IN (SELECT seq FROM samples ORDER BY seq LIMIT ?)",
                           -1, &stmt, nullptr) != SQLITE_OK)
        return;
    sqlite3_bind_int64(stmt, 1, static_cast<int64_t>(n));
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) return;
    const uint64_t gone = static_cast<uint64_t>(sqlite3_changes(s->db));
    s->rows -= std::min(s->rows, gone);
    s->dropped += gone;
    if (s->bFullSaid) return;
    s->bFullSaid = true;
    Log("store %s is at its max_mb (%llu MB): the oldest samples go first (%llu dropped so far)",
        s->path.c_str(), static_cast<unsigned long long>(s->maxBytes >> 20),
        static_cast<unsigned long long>(s->dropped));
}

}  // namespace

bool OpenStore(Store *s, const std::string &path, uint32_t maxMb) {
    s->path = path;
    s->maxBytes = uint64_t{maxMb} << 20;
    std::string why;
    if (Init(s, &why)) {
        if (s->rows > 0)
            Log("store %s: %llu samples kept from before, delivered once the broker has the latest values",
                path.c_str(), static_cast<unsigned long long>(s->rows));
        return true;
    }
    std::string aside;
    if (Exists(path) && MoveAside(path, &aside)) {
        std::string again;
        if (Init(s, &again)) {
            Log("store %s cannot be used (%s): moved aside as %s; a new store started", path.c_str(),
                why.c_str(), aside.c_str());
            return true;
        }
        why = again;
    }
    Log("store %s cannot be opened (%s): the gateway runs without; samples made while the broker is away are "
        "lost",
        path.c_str(), why.c_str());
    return false;
}

void CloseStore(Store *s) {
    CommitStore(s);
    Release(s);
}

bool StoreOpen(const Store &s) { return s.db != nullptr; }

void AddSample(Store *s, std::string topic, std::string payload) {
    s->pending.push_back({0, std::move(topic), std::move(payload)});
}

void CommitStore(Store *s) {
    if (s->pending.empty() && s->acked.empty()) return;
    if (s->db == nullptr) {
        s->dropped += s->pending.size();
        s->pending.clear();
        s->acked.clear();
        return;
    }
    int rc = Exec(s->db, "BEGIN IMMEDIATE") ? SQLITE_OK : sqlite3_errcode(s->db);
    for (const Sample &sample : s->pending) {
        if (rc != SQLITE_OK) break;
        sqlite3_bind_text(s->insert, 1, sample.topic.data(), static_cast<int>(sample.topic.size()),
                          SQLITE_STATIC);
        sqlite3_bind_text(s->insert, 2, sample.payload.data(), static_cast<int>(sample.payload.size()),
                          SQLITE_STATIC);
        const int step = sqlite3_step(s->insert);
        sqlite3_reset(s->insert);
        if (step != SQLITE_DONE) rc = step;
    }
    uint64_t deleted = 0;
    for (const int64_t seq : s->acked) {
        if (rc != SQLITE_OK) break;
        sqlite3_bind_int64(s->erase, 1, seq);
        const int step = sqlite3_step(s->erase);
        sqlite3_reset(s->erase);
        if (step != SQLITE_DONE) rc = step;
        deleted += static_cast<uint64_t>(sqlite3_changes(s->db));
    }
    if (rc == SQLITE_OK && !Exec(s->db, "COMMIT")) rc = sqlite3_errcode(s->db);
    if (rc == SQLITE_OK) {
        s->stored += s->pending.size();
        s->replayed += s->acked.size();
        s->rows = s->rows + s->pending.size() - std::min(s->rows + s->pending.size(), deleted);
        s->pending.clear();
        s->acked.clear();
        Trim(s);
        return;
    }
    // A full or failing disk: these samples are lost, the gateway goes on.
    const std::string why = sqlite3_errstr(rc);
    Exec(s->db, "ROLLBACK");
    s->dropped += s->pending.size();
    if (!s->bFaultSaid)
        Log("store %s cannot be written (%s): %zu samples lost; the lines go on", s->path.c_str(),
            why.c_str(), s->pending.size());
    s->bFaultSaid = true;
    s->pending.clear();
    s->acked.clear();
    if (Corrupt(rc)) Reopen(s);
}

std::vector<Sample> NextSamples(Store *s, int64_t afterSeq, size_t n) {
    std::vector<Sample> out;
    if (s->db == nullptr) return out;
    sqlite3_bind_int64(s->next, 1, afterSeq);
    sqlite3_bind_int64(s->next, 2, static_cast<int64_t>(n));
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(s->next)) == SQLITE_ROW) {
        Sample sample;
        sample.seq = sqlite3_column_int64(s->next, 0);
        sample.topic = reinterpret_cast<const char *>(sqlite3_column_text(s->next, 1));
        sample.payload = reinterpret_cast<const char *>(sqlite3_column_text(s->next, 2));
        out.push_back(std::move(sample));
    }
    sqlite3_reset(s->next);
    if (Corrupt(rc)) Reopen(s);
    return out;
}

uint64_t StoreBytes(Store *s) {
    if (s->db == nullptr) return 0;
    const int64_t pages = Single(s->db, "PRAGMA page_count") - Single(s->db, "PRAGMA freelist_count");
    return static_cast<uint64_t>(std::max<int64_t>(0, pages) * Single(s->db, "PRAGMA page_size"));
}

void NewOutage(Store *s) { s->bFullSaid = s->bFaultSaid = false; }

}  // namespace gateway
