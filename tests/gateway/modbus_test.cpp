// The gateway's Modbus TCP server against libmodbus's own client, with the
// simulators' controllers behind it.
#include <modbus/modbus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "rig.h"

namespace {

using namespace rigs;

// Controller 9 is on no line: its gate never answers.
constexpr const char *kSilent = "      - {address: 09A0010, name: silent, interval_ms: 2000}\n";

constexpr const char *kModbus = R"(  lines:
    - line: a
      units: {1: 1, 2: 2}
      registers:
        - {gate: v1, register: 0}
        - {gate: v1, register: 10, word_order: low_first}
        - {gate: ram1, register: 2}
        - {gate: blk, register: 3}
        - {gate: time1, register: 7}
        - {gate: bit1, register: 0}
        - {gate: sp1, register: 0}
        - {gate: pv1, register: 2}
        - {gate: v2, register: 0}
    - line: b
      units: {5: 5, 9: 9}
      registers:
        - {gate: v5, register: 0}
        - {gate: ram5, register: 0}
        - {gate: silent, register: 0}
)";

void StartWithModbus(Rig *rig, const std::string &name) {
    rig->extraB = kSilent;
    rig->modbus = kModbus;
    // The writes' results are checked exactly: a machine that stalls the
    // simulator for a second must not turn them into time-outs.
    rig->replyTimeoutAMs = 2000;
    Start(rig, name);
}

modbus_t *Client(const Rig &rig, int unit) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", rig.modbusPort);
    modbus_set_slave(ctx, unit);
    modbus_set_response_timeout(ctx, 3, 0);
    for (int i = 0; i < 100 && modbus_connect(ctx) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return ctx;
}

// A float from two registers, either word first; computed here, not by the
// library under test.
float FloatOf(const uint16_t *regs, bool bLowFirst) {
    const uint32_t bits =
        bLowFirst ? (uint32_t{regs[1]} << 16 | regs[0]) : (uint32_t{regs[0]} << 16 | regs[1]);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

void ToRegisters(float f, uint16_t *regs) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    regs[0] = static_cast<uint16_t>(bits >> 16);
    regs[1] = static_cast<uint16_t>(bits);
}

// The errno of a read that the server answered with an exception.
int ReadError(modbus_t *ctx, int address, int count, bool bInput = true) {
    uint16_t regs[8];
    const int rc = bInput ? modbus_read_input_registers(ctx, address, count, regs)
                          : modbus_read_registers(ctx, address, count, regs);
    return rc < 0 ? errno : 0;
}

TEST(GatewayModbus, ServesTheControllersAsDevices) {
    Rig rig;
    StartWithModbus(&rig, "gw_modbus");
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    // Each gate read below has a good value (a stalled first cycle leaves bad ones).
    for (const char *topic : {"plant/a/v1", "plant/a/v2", "plant/a/ram1", "plant/a/blk", "plant/a/time1",
                              "plant/a/bit1", "plant/b/v5", "plant/b/ram5"})
        ASSERT_TRUE(GoodValue(&rig, topic).is_object()) << topic << "\n" << Log(rig);
    modbus_t *one = Client(rig, 1), *two = Client(rig, 2), *five = Client(rig, 5), *nine = Client(rig, 9);

    // Every mapped value as the simulators hold it, floats in both word orders.
    uint16_t regs[12] = {};
    ASSERT_EQ(modbus_read_input_registers(one, 0, 9, regs), 9) << modbus_strerror(errno);
    EXPECT_FLOAT_EQ(FloatOf(regs, false), 25.0f);
    EXPECT_EQ(regs[2], 17);
    EXPECT_FLOAT_EQ(FloatOf(regs + 3, false), 12.5f);
    EXPECT_FLOAT_EQ(FloatOf(regs + 5, false), -3.7f);
    EXPECT_FLOAT_EQ(FloatOf(regs + 7, false), 12.34f);
    ASSERT_EQ(modbus_read_input_registers(one, 10, 2, regs), 2);
    EXPECT_FLOAT_EQ(FloatOf(regs, true), 25.0f);
    ASSERT_EQ(modbus_read_input_registers(two, 0, 2, regs), 2);
    EXPECT_FLOAT_EQ(FloatOf(regs, false), 37.5f);
    ASSERT_EQ(modbus_read_input_registers(five, 0, 2, regs), 2);
    EXPECT_FLOAT_EQ(FloatOf(regs, false), 50.0f);
    ASSERT_EQ(modbus_read_registers(five, 0, 1, regs), 1);
    EXPECT_EQ(regs[0], 0x55);
    uint8_t bit = 0;
    ASSERT_EQ(modbus_read_input_bits(one, 0, 1, &bit), 1);
    EXPECT_EQ(bit, 1);

    // A setpoint written through the driver, and read back.
    ToRegisters(75.5f, regs);
    ASSERT_EQ(modbus_write_registers(one, 0, 2, regs), 2) << modbus_strerror(errno);
    ASSERT_EQ(modbus_read_registers(one, 0, 2, regs), 2);
    EXPECT_FLOAT_EQ(FloatOf(regs, false), 75.5f);
    EXPECT_EQ(Count(gwtest::Slurp(rig.a.trace), "ACK: element 10 = AF30 (75.5)"), 1u);

    // The measurement refuses: exception 4, the controller's NAK.
    ToRegisters(5.0f, regs);
    EXPECT_EQ(modbus_write_registers(one, 2, 2, regs), -1);
    EXPECT_EQ(errno, EMBXSFAIL);
    // A value the gate cannot take, half a float: refused, nothing written.
    EXPECT_EQ(modbus_write_register(five, 0, 300), -1);
    EXPECT_EQ(errno, EMBXILVAL);
    EXPECT_EQ(modbus_write_register(one, 0, 1), -1);
    EXPECT_EQ(errno, EMBXILADD);
    EXPECT_EQ(Count(gwtest::Slurp(rig.b.trace), "write"), 0u);

    // Unmapped, no such unit, an input register written, a silent controller.
    EXPECT_EQ(ReadError(one, 100, 1), EMBXILADD);
    EXPECT_EQ(ReadError(one, 8, 3), EMBXILADD);  // runs past the last register
    EXPECT_EQ(modbus_write_register(two, 0, 1), -1);
    EXPECT_EQ(errno, EMBXILADD);
    modbus_t *seven = Client(rig, 7);
    EXPECT_EQ(ReadError(seven, 0, 1), EMBXGPATH);
    EXPECT_EQ(ReadError(nine, 0, 2), EMBXGTAR);
    for (modbus_t *ctx : {one, two, five, nine, seven}) {
        modbus_close(ctx);
        modbus_free(ctx);
    }
}

TEST(GatewayModbus, EightClientsAtOnceWhileTheLinesPoll) {
    Rig rig;
    StartWithModbus(&rig, "gw_modbus8");
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    ASSERT_TRUE(GoodValue(&rig, "plant/b/v5").is_object());
    const size_t before = gwtest::CountOf(&rig.sub, "plant/a/v1");
    std::atomic<int> good{0}, bad{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c) {
        clients.emplace_back([&, c] {
            modbus_t *ctx = Client(rig, c % 2 ? 5 : 1);
            const float want = c % 2 ? 50.0f : 25.0f;
            for (int i = 0; i < 150; ++i) {
                uint16_t regs[2];
                const bool bOk =
                    modbus_read_input_registers(ctx, 0, 2, regs) == 2 && FloatOf(regs, false) == want;
                ++(bOk ? good : bad);
            }
            modbus_close(ctx);
            modbus_free(ctx);
        });
    }
    for (std::thread &t : clients) t.join();
    EXPECT_EQ(good.load(), 8 * 150);
    EXPECT_EQ(bad.load(), 0);
    // The line went on polling: v1 is published on every read.
    EXPECT_TRUE(WaitFor(
        &rig.sub, [&] { return gwtest::CountHeld(rig.sub, "plant/a/v1") >= before + 3; }, 2000));
}

TEST(GatewayModbus, ClientsThatMisbehaveDisturbNoOther) {
    Rig rig;
    StartWithModbus(&rig, "gw_modbus_bad");
    ASSERT_TRUE(AllOnline(&rig, 5000)) << Log(rig);
    ASSERT_TRUE(GoodValue(&rig, "plant/a/v1").is_object());
    // Garbage, half a request then gone, half a request then silence.
    const int garbage = gwtest::ConnectLoopback(rig.modbusPort),
              gone = gwtest::ConnectLoopback(rig.modbusPort),
              stalled = gwtest::ConnectLoopback(rig.modbusPort);
    const uint8_t junk[] = {0xDE, 0xAD, 0xBE, 0xEF, 0xFF, 0xFF, 0x01,
                            0x99, 0x42, 0x00, 0x13, 0x37, 0x00, 0x00};
    const uint8_t half[] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x04, 0x00};
    ASSERT_EQ(write(garbage, junk, sizeof junk), static_cast<ssize_t>(sizeof junk));
    ASSERT_EQ(write(gone, half, sizeof half), static_cast<ssize_t>(sizeof half));
    close(gone);
    ASSERT_EQ(write(stalled, half, sizeof half), static_cast<ssize_t>(sizeof half));

    // A proper client meanwhile: every read right and quick.
    modbus_t *ctx = Client(rig, 1);
    int64_t slowest = 0;
    for (int i = 0; i < 50; ++i) {
        uint16_t regs[2];
        const int64_t t0 = gwtest::NowMs();
        ASSERT_EQ(modbus_read_input_registers(ctx, 0, 2, regs), 2) << modbus_strerror(errno);
        slowest = std::max(slowest, gwtest::NowMs() - t0);
        EXPECT_FLOAT_EQ(FloatOf(regs, false), 25.0f);
    }
    EXPECT_LT(slowest, 200);
    modbus_close(ctx);
    modbus_free(ctx);
    // The server ends the stalled request after its byte time-out.
    char ch;
    const int64_t t0 = gwtest::NowMs();
    while (recv(stalled, &ch, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN && gwtest::NowMs() - t0 < 3000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(recv(stalled, &ch, 1, MSG_DONTWAIT), 0);
    close(garbage);
    close(stalled);
    EXPECT_EQ(Last(&rig.sub, "plant/a/status"), "online");
}

}  // namespace
