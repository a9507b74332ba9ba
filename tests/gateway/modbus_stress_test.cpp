// The Modbus server under load: many clients at normal priority reading
// every table of three units on two lines while a writer changes holding
// registers. Each gate holds values of its own (a band no other gate's
// values fall in), so an answer carrying a neighbour's value, another
// unit's, or half of one value and half of another shows.
#include <modbus/modbus.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "rig.h"

namespace {

using namespace rigs;

constexpr int kClients = 12;
constexpr int kStressMs = 3000;
constexpr int kBandSteps = 20;  // a float gate's values: base, base + 0.25, ...

enum Table { kCoil, kDiscrete, kHolding, kInput };

// What a gate may answer: any of its values, as registers (or a bit).
struct GateModel {
    bool bFloat = false, bLowFirst = false;
    std::vector<double> values;
};

// Which gate a register (or bit) belongs to, and which word of a float.
struct Slot {
    size_t gate = 0;
    int word = 0;
};

struct Unit {
    int id = 0;
    std::vector<GateModel> gates;
    std::array<std::vector<Slot>, 4> tables;
    std::vector<size_t> floatHoldings;  // the gates of hd0, hd1
    size_t byteHolding = 0;
};

// A controller word holding v (step 0.025, positive).
uint16_t Word(double v) { return static_cast<uint16_t>(0x8000 | std::lround(v / 0.025) << 2); }

void FloatRegisters(float f, bool bLowFirst, uint16_t *regs) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    regs[bLowFirst ? 1 : 0] = static_cast<uint16_t>(bits >> 16);
    regs[bLowFirst ? 0 : 1] = static_cast<uint16_t>(bits);
}

// The configuration's gates, registers and simulator memory, and the model
// the answers are checked against, built side by side.
struct Plan {
    std::vector<Unit> units;
    std::string gates[2], registers[2];
    json state[2];

    // A gate of unit u on line l at the next register of its table.
    size_t Add(Unit *u, int l, Table t, const std::string &name, const std::string &address, GateModel g,
               const std::string &extra = "", int count = 1) {
        const std::string gate = name + "_" + std::to_string(u->id);
        gates[l] += "      - {address: " + address + ", name: " + gate + extra + "}\n";
        std::vector<Slot> &slots = u->tables[t];
        registers[l] += "        - {gate: " + gate + ", register: " + std::to_string(slots.size()) +
                        (g.bLowFirst ? ", word_order: low_first}\n" : "}\n");
        for (int e = 0; e < count; ++e) {
            u->gates.push_back(g);
            for (int w = 0; w < (g.bFloat ? 2 : 1); ++w) slots.push_back({u->gates.size() - 1, w});
        }
        return u->gates.size() - count;
    }

    void Build() {
        const int ids[3] = {1, 2, 5}, lines[3] = {0, 0, 1};
        const uint8_t discrete[3] = {0x05, 0x0A, 0x03}, coils[3] = {0x01, 0x02, 0x03};
        int band = 1;
        for (int n = 0; n < 3; ++n) {
            Unit u;
            u.id = ids[n];
            const int l = lines[n];
            char plc[4];
            std::snprintf(plc, sizeof plc, "%02X", u.id);
            json &words = state[l]["controllers"][std::to_string(u.id)]["words"];
            json &ram = state[l]["controllers"][std::to_string(u.id)]["ram"];
            const auto floatGate = [&](int element, bool bLowFirst, int steps) {
                GateModel g{true, bLowFirst, {}};
                for (int i = 0; i < steps; ++i) g.values.push_back(5.0 * band + 0.25 * i);
                char key[4];
                std::snprintf(key, sizeof key, "%02X", element);
                char hex[8];
                std::snprintf(hex, sizeof hex, "%04X", Word(g.values[0]));
                words[key] = hex;
                ++band;
                return g;
            };
            const auto hexByte = [](unsigned v) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%02X", v);
                return std::string(hex);
            };
            for (int k = 0; k < 4; ++k)
                Add(&u, l, kInput, "in" + std::to_string(k), plc + std::string("A003") + std::to_string(k),
                    floatGate(0x30 + k, k == 3, 1));
            ram["0030"] = hexByte(16 * n + 1);
            Add(&u, l, kInput, "byte", plc + std::string("I0030"), {false, false, {16.0 * n + 1}});
            // A block of two floats, each element with a value of its own.
            const GateModel first = floatGate(0x34, false, 1), second = floatGate(0x35, false, 1);
            const size_t blk = Add(&u, l, kInput, "blk", plc + std::string("A0034"), first, ", count: 2", 2);
            u.gates[blk + 1] = second;
            for (int k = 0; k < 2; ++k)
                u.floatHoldings.push_back(Add(&u, l, kHolding, "hd" + std::to_string(k),
                                              plc + std::string("A004") + std::to_string(k),
                                              floatGate(0x40 + k, false, kBandSteps), ", writable: true"));
            GateModel byte{false, false, {}};
            for (int i = 0; i < 16; ++i) byte.values.push_back(100.0 + 16 * n + i);
            ram["0031"] = hexByte(100 + 16 * n);
            u.byteHolding = Add(&u, l, kHolding, "hb", plc + std::string("I0031"), byte, ", writable: true");
            ram["0032"] = hexByte(discrete[n]);
            for (int b = 0; b < 4; ++b)
                Add(&u, l, kDiscrete, "di" + std::to_string(b),
                    plc + std::string("I0032") + std::to_string(b),
                    {false, false, {static_cast<double>(discrete[n] >> b & 1)}});
            ram["0033"] = hexByte(coils[n]);
            for (int b = 0; b < 2; ++b)
                Add(&u, l, kCoil, "co" + std::to_string(b), plc + std::string("I0033") + std::to_string(b),
                    {false, false, {static_cast<double>(coils[n] >> b & 1)}}, ", writable: true");
            units.push_back(std::move(u));
        }
    }
};

// Whether registers [first, first + count) of the table are what their
// gates may hold: a float whole or one of its words, an integer, a bit.
bool Plausible(const Unit &u, Table t, int first, int count, const uint16_t *regs) {
    const std::vector<Slot> &slots = u.tables[t];
    for (int a = first; a < first + count; ++a) {
        const Slot &s = slots[a];
        const GateModel &g = u.gates[s.gate];
        bool bOk = false;
        if (!g.bFloat) {
            for (double v : g.values) bOk = bOk || regs[a - first] == v;
        } else {
            // Both words in the answer: the pair must be one value.
            const bool bPair = s.word == 0 && a + 1 < first + count;
            for (double v : g.values) {
                uint16_t want[2];
                FloatRegisters(static_cast<float>(v), g.bLowFirst, want);
                bOk = bOk || (bPair ? regs[a - first] == want[0] && regs[a - first + 1] == want[1]
                                    : regs[a - first] == want[s.word]);
            }
            if (bPair) ++a;
        }
        if (!bOk) return false;
    }
    return true;
}

modbus_t *Connect(uint16_t port) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_set_response_timeout(ctx, 2, 0);
    for (int i = 0; i < 100 && modbus_connect(ctx) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return ctx;
}

// One read of the table; the registers (bits as 0/1), or -1 with errno.
int Read(modbus_t *ctx, Table t, int first, int count, uint16_t *regs) {
    uint8_t bits[64];
    int rc = -1;
    switch (t) {
        case kCoil:
            rc = modbus_read_bits(ctx, first, count, bits);
            break;
        case kDiscrete:
            rc = modbus_read_input_bits(ctx, first, count, bits);
            break;
        case kHolding:
            return modbus_read_registers(ctx, first, count, regs);
        case kInput:
            return modbus_read_input_registers(ctx, first, count, regs);
    }
    for (int i = 0; i < rc; ++i) regs[i] = bits[i];
    return rc;
}

struct Counts {
    std::atomic<uint64_t> answers{0}, values{0}, wrong{0}, failedTarget{0}, timeouts{0}, other{0};
    std::atomic<uint64_t> writes{0}, writesFailed{0};
};

void Reader(const Plan &plan, uint16_t port, int seed, const std::atomic<bool> &bStop, Counts *c) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    modbus_t *ctx = Connect(port);
    uint16_t regs[64];
    while (!bStop.load()) {
        const Unit &u = plan.units[rng() % plan.units.size()];
        const Table t = static_cast<Table>(rng() % 4);
        const int size = static_cast<int>(u.tables[t].size());
        const int first = static_cast<int>(rng() % size);
        const int count = 1 + static_cast<int>(rng() % (size - first));
        modbus_set_slave(ctx, u.id);
        if (Read(ctx, t, first, count, regs) == count) {
            ++c->answers;
            c->values += count;
            if (!Plausible(u, t, first, count, regs) && ++c->wrong <= 5) {
                std::string got;
                for (int i = 0; i < count; ++i) got += std::to_string(regs[i]) + ' ';
                const char *tables[] = {"coils", "discrete inputs", "holding registers", "input registers"};
                ADD_FAILURE() << "unit " << u.id << " " << tables[t] << " from " << first << ": " << got
                              << "is not what the gates there hold";
            }
        } else if (errno == EMBXGTAR) {
            ++c->failedTarget;  // the gate's last read failed
        } else {
            ++(errno == ETIMEDOUT ? c->timeouts : c->other);
            if (errno != ETIMEDOUT) ADD_FAILURE() << modbus_strerror(errno);
            // A late answer must not be taken for the next request's.
            modbus_close(ctx);
            modbus_free(ctx);
            ctx = Connect(port);
        }
    }
    modbus_close(ctx);
    modbus_free(ctx);
}

// Holding registers written, each gate's next value from its own band.
void Writer(const Plan &plan, uint16_t port, const std::atomic<bool> &bStop, Counts *c) {
    modbus_t *ctx = Connect(port);
    for (unsigned i = 0; !bStop.load(); ++i) {
        const Unit &u = plan.units[i % plan.units.size()];
        modbus_set_slave(ctx, u.id);
        const unsigned which = i / plan.units.size() % 3, step = 1 + i / 9;
        int rc;
        if (which < 2) {
            const size_t gate = u.floatHoldings[which];
            const GateModel &g = u.gates[gate];
            uint16_t regs[2];
            FloatRegisters(static_cast<float>(g.values[step % g.values.size()]), false, regs);
            rc = modbus_write_registers(ctx, 2 * static_cast<int>(which), 2, regs) == 2;
        } else {
            const GateModel &g = u.gates[u.byteHolding];
            rc = modbus_write_register(ctx, 4, static_cast<uint16_t>(g.values[step % g.values.size()])) == 1;
        }
        ++(rc ? c->writes : c->writesFailed);
    }
    modbus_close(ctx);
    modbus_free(ctx);
}

TEST(GatewayModbus, ManyClientsReadEveryTableWhileHoldingRegistersChange) {
    Plan plan;
    plan.Build();
    Rig rig;
    rig.dir = gwtest::MakeScratch("gw_modbus_stress");
    ASSERT_TRUE(gwtest::StartBroker(rig.dir, &rig.broker));
    gwtest::WriteFile(rig.dir + "/a.json", plan.state[0].dump());
    gwtest::WriteFile(rig.dir + "/b.json", plan.state[1].dump());
    const std::vector<std::string> fast{"--baud", "38400"};
    rig.a = {rig.dir + "/a.link", rig.dir + "/a.json", "", "1,2", fast, "", {}};
    rig.b = {rig.dir + "/b.link", rig.dir + "/b.json", "", "5", fast, "", {}};
    ASSERT_TRUE(gwtest::StartSim(&rig.a));
    ASSERT_TRUE(gwtest::StartSim(&rig.b));
    rig.modbusPort = gwtest::FreePort();
    std::string yaml =
        "broker: {host: 127.0.0.1, port: " + std::to_string(rig.broker.port) + ", prefix: stress}\nlines:\n";
    std::string modbus = "modbus:\n  port: " + std::to_string(rig.modbusPort) + "\n  lines:\n";
    const char *names[2] = {"a", "b"}, *units[2] = {"{1: 1, 2: 2}", "{5: 5}"};
    for (int l = 0; l < 2; ++l) {
        yaml += std::string("  - name: ") + names[l] + "\n    port: ./" + names[l] +
                ".link\n    baud: 38400\n    interval_ms: 0\n    reply_timeout_ms: 100\n    gates:\n" +
                plan.gates[l];
        modbus += std::string("    - line: ") + names[l] + "\n      units: " + units[l] +
                  "\n      registers:\n" + plan.registers[l];
    }
    rig.config = rig.dir + "/gateway.yaml";
    rig.log = rig.dir + "/gateway.log";
    gwtest::WriteFile(rig.config, yaml + modbus);
    ASSERT_TRUE(StartGateway(&rig));

    // Every table of every unit answered once before the load begins.
    modbus_t *ctx = Connect(rig.modbusPort);
    bool bAll = false;
    for (const int64_t until = gwtest::NowMs() + 10000; !bAll && gwtest::NowMs() < until;) {
        bAll = true;
        for (const Unit &u : plan.units) {
            modbus_set_slave(ctx, u.id);
            for (int t = 0; t < 4; ++t) {
                uint16_t regs[64];
                const int size = static_cast<int>(u.tables[t].size());
                bAll = bAll && Read(ctx, static_cast<Table>(t), 0, size, regs) == size &&
                       Plausible(u, static_cast<Table>(t), 0, size, regs);
            }
        }
        if (!bAll) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    modbus_close(ctx);
    modbus_free(ctx);
    ASSERT_TRUE(bAll) << Log(rig);

    Counts c;
    std::atomic<bool> bStop{false};
    std::vector<std::thread> threads;
    for (int n = 0; n < kClients; ++n)
        threads.emplace_back(Reader, std::cref(plan), rig.modbusPort, n, std::cref(bStop), &c);
    threads.emplace_back(Writer, std::cref(plan), rig.modbusPort, std::cref(bStop), &c);
    std::this_thread::sleep_for(std::chrono::milliseconds(kStressMs));
    bStop.store(true);
    for (std::thread &t : threads) t.join();

    std::printf(
        "%d clients, %llu answers checked (%llu registers and bits), %llu wrong; %llu exceptions 0x0B, %llu "
        "time-outs; %llu holding writes (%llu failed)\n",
        kClients, static_cast<unsigned long long>(c.answers.load()),
        static_cast<unsigned long long>(c.values.load()), static_cast<unsigned long long>(c.wrong.load()),
        static_cast<unsigned long long>(c.failedTarget.load()),
        static_cast<unsigned long long>(c.timeouts.load()), static_cast<unsigned long long>(c.writes.load()),
        static_cast<unsigned long long>(c.writesFailed.load()));
    EXPECT_EQ(c.wrong.load(), 0u);
    EXPECT_EQ(c.other.load(), 0u);
    EXPECT_GE(c.answers.load(), 500u);
    EXPECT_GE(c.writes.load(), 1u);  // a starved line takes its time over them
}

}  // namespace
