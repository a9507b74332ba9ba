// Reads and writes through ZevMain over a pseudo-terminal, against a
// controller that answers on the far end as the protocol says; and the
// proof that a transaction allocates nothing.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <thread>

#include "line/fake_controller.h"
#include "line/pty.h"
#include "support/test_host.h"
#include "zedadad/zedadad.h"

namespace {

// Allocations made on the thread that calls the driver while counting is on.
thread_local bool tCounting = false;
std::atomic<long> gAllocations{0};

}  // namespace

// The replacement pairs malloc with free itself; GCC cannot see that once
// the operators are inlined and takes it for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void *operator new(std::size_t n) {
    if (tCounting) ++gAllocations;
    if (void *p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

using fakeplc::Bytes;
using fakeplc::Mode;

constexpr uint8_t kStation = 5;

class TransactionsLine : public ::testing::Test {
protected:
    void SetUp() override {
        testhost::Reset();
        ASSERT_TRUE(ptytest::PtyOpen(&pty)) << errno;
        plc = std::make_unique<fakeplc::Controller>(&pty, kStation);
        PortSettings settings{};
        std::snprintf(settings.szPort, sizeof settings.szPort, "%.11s", pty.szName);
        settings.bOpenPort = 1;
        settings.iTimeout = 10;  // 100 ms
        settings.wBaud = 9600;
        settings.wDataBits = 8;
        request.pContext = block.data();
        request.iInstance = 97;
        request.pParams = &settings;
        ASSERT_EQ(Call(ZEV_COLD_START), 0u) << testhost::Dump();
        WriteParameter("$IFG", 253, 0);
        testhost::Reset();
    }

    void TearDown() override {
        request.pParams = nullptr;
        Call(ZEV_END_ZEV);
        plc.reset();
        ptytest::PtyClose(&pty);
        testhost::Reset();
    }

    uint32_t Call(uint32_t iFunction) {
        request.iFunction = iFunction;
        return ZevMain(&request);
    }

    void SetGate(const char *pszAddress, int32_t iMemType, int32_t iTag, int32_t iCount,
                 int32_t iBitNo = -1) {
        gate = GateRecord{};
        gate.pszAddress = pszAddress;
        gate.iPlcAddr = kStation;
        gate.iMemType = iMemType;
        gate.iTagAddr = iTag;
        gate.iBitNo = iBitNo;
        gate.iCount = iCount;
        gate.pValue = value.data();
        request.pParams = &gate;
        value.fill(0xAB);
    }

    uint32_t WriteParameter(const char *pszName, int32_t iTag, uint16_t wValue) {
        SetGate(pszName, ZEV_MEMTYPE_PARAMETER, iTag, 1);
        gate.iPlcAddr = ZEV_PARAMETER_PLC;
        std::memcpy(value.data() + 2, &wValue, 2);
        return Call(ZEV_SINGLE_WRITE);
    }

    float FloatAt(size_t i) const {
        float f = 0;
        std::memcpy(&f, value.data() + 4 * i, 4);
        return f;
    }
    uint16_t WordAt(size_t i) const {
        uint16_t w = 0;
        std::memcpy(&w, value.data() + 2 * i, 2);
        return w;
    }
    void SetFloat(float f) { std::memcpy(value.data(), &f, 4); }
    void SetWord(uint16_t w) { std::memcpy(value.data() + 2, &w, 2); }

    ptytest::Pty pty{};
    std::unique_ptr<fakeplc::Controller> plc;
    alignas(8) std::array<uint8_t, 96> block{};
    std::array<uint8_t, 256> value{};
    GateRecord gate{};
    ZevRequest request{};
};

TEST_F(TransactionsLine, ReadsOfEveryMemoryType) {
    // Element k holds the word 0x8000 | 4k, that is 0.025 k.
    SetGate("05A0020", 'A', 0x20, 1);
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u) << testhost::Dump();
    EXPECT_FLOAT_EQ(FloatAt(0), 0.8f);

    for (int32_t iMemType : {'A', 'F', 'P', 'R'}) {
        SetGate("05A0010", iMemType, 0x10, 8);
        EXPECT_EQ(Call(ZEV_BLOCK_READ), 0u) << testhost::Dump();
        for (size_t i = 0; i < 8; ++i) EXPECT_FLOAT_EQ(FloatAt(i), 0.025f * (0x10 + i)) << i;
    }

    SetGate("05I00213", 'I', 0x21, 1, 3);  // RAM byte k holds k: 0x21 has bit 3 clear
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u);
    EXPECT_EQ(WordAt(1), 0);
    SetGate("05I00210", 'I', 0x21, 1, 0);
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u);
    EXPECT_EQ(WordAt(1), 1);

    SetGate("05I0001", 'I', 1, 63);
    EXPECT_EQ(Call(ZEV_BLOCK_READ), 0u);
    for (size_t i = 0; i < 63; ++i) EXPECT_EQ(WordAt(i), 1 + i);

    SetGate("05X0110", 'X', 0x0110, 4);
    EXPECT_EQ(Call(ZEV_BLOCK_READ), 0u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(WordAt(i), (0x10 + i) & 0xFF);

    SetGate("0520000", '2', 0, 10);
    EXPECT_EQ(Call(ZEV_BLOCK_READ), 0u);
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(WordAt(i), 0xB0 + i);

    SetGate("0530000", '3', 0, 16);
    EXPECT_EQ(Call(ZEV_BLOCK_READ), 0u);
    for (size_t i = 0; i < 16; ++i) EXPECT_FLOAT_EQ(FloatAt(i), 0.025f * i);
    EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();
}

TEST_F(TransactionsLine, Type3BlockFollowsTheControllersLength) {
    plc->SetBlock3Count(10);
    SetGate("0530000", '3', 0, 16);
    EXPECT_EQ(Call(ZEV_BLOCK_READ), 0u) << testhost::Dump();
    EXPECT_EQ(gate.iCount, 10);
    EXPECT_TRUE(testhost::Logged("ROVOD> DoRead() Modify block length to 10 !!"));
    EXPECT_FLOAT_EQ(FloatAt(9), 0.225f);
    EXPECT_EQ(value[40], 0xAB);
}

TEST_F(TransactionsLine, WritesOfEveryValueType) {
    struct WordWrite {
        const char *pszAddress;
        int32_t iMemType;
        int32_t iTag;
        float fValue;
        uint16_t wStored;
    };
    const WordWrite words[] = {
        {"05A0030", 'A', 0x30, 12.5f, 0x87D0},
        {"05R0031", 'R', 0x31, -3.7f, 0x0250},
        {"05P0032", 'P', 0x32, 5.5f, 0x8370},
    };
    for (const WordWrite &w : words) {
        SetGate(w.pszAddress, w.iMemType, w.iTag, 1);
        SetFloat(w.fValue);
        EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u) << w.pszAddress << testhost::Dump();
        EXPECT_EQ(plc->Word(static_cast<uint8_t>(w.iTag)), w.wStored) << w.pszAddress;
    }

    // The first time value reads the element's point position: 0x8001 is code 1.
    plc->SetWord(0x33, 0x8001);
    SetGate("05F0033", 'F', 0x33, 1);
    SetFloat(12.34f);
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u) << testhost::Dump();
    EXPECT_EQ(plc->Word(0x33), 0xCD21);

    struct ByteWrite {
        const char *pszAddress;
        int32_t iMemType;
        int32_t iTag;
        int32_t iBitNo;
        uint16_t wValue;
        uint8_t bStored;  // the RAM byte afterwards
    };
    const ByteWrite bytes[] = {
        {"05I0040", 'I', 0x40, -1, 0x5A, 0x5A},
        {"05X0140", 'X', 0x0140, -1, 0x77, 0x77},
        {"05I00407", 'I', 0x40, 7, 1, 0xDA},
        {"05I00401", 'I', 0x40, 1, 0, 0xD8},
    };
    for (const ByteWrite &b : bytes) {
        SetGate(b.pszAddress, b.iMemType, b.iTag, 1, b.iBitNo);
        SetWord(b.wValue);
        EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u) << b.pszAddress << testhost::Dump();
        EXPECT_EQ(plc->Ram(static_cast<uint16_t>(b.iTag)), b.bStored) << b.pszAddress;
    }

    SetGate("05Z0004", 'Z', 4, 1);
    SetWord(1);
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 0u);
    EXPECT_EQ(plc->Switch(4), 1);

    plc->SetMode(Mode::NakAll);
    SetGate("05A0030", 'A', 0x30, 1);
    SetFloat(1.0f);
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 3u);
    EXPECT_EQ(plc->Word(0x30), 0x87D0);
    EXPECT_TRUE(testhost::Logged("ROVOD> CheckRecv() PLC replied with NAK"));
}

TEST_F(TransactionsLine, RepliesInPiecesWithTrailingBytesAndAfterNoise) {
    SetGate("05A0020", 'A', 0x20, 1);
    plc->SetMode(Mode::InPieces);
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u) << testhost::Dump();
    EXPECT_FLOAT_EQ(FloatAt(0), 0.8f);
    EXPECT_TRUE(testhost::Log().empty()) << testhost::Dump();

    // The stray bytes stay queued and spoil the next reply, which is retried.
    plc->SetMode(Mode::Trailing);
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u) << testhost::Dump();
    EXPECT_FLOAT_EQ(FloatAt(0), 0.8f);

    testhost::Reset();
    plc->SetMode(Mode::NoiseFirst);
    SetGate("05A0021", 'A', 0x21, 1);
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u) << testhost::Dump();
    EXPECT_FLOAT_EQ(FloatAt(0), 0.825f);
    EXPECT_TRUE(testhost::Logged("ROVOD> CheckRecv() Header fault")) << testhost::Dump();
    EXPECT_TRUE(testhost::Logged("ROVOD> DoRead() Retry 1, TLen 14")) << testhost::Dump();
}

TEST_F(TransactionsLine, SilenceIsALineFailureAfterThreeAttempts) {
    plc->SetMode(Mode::Silent);
    SetGate("05A0020", 'A', 0x20, 1);
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 2u);
    EXPECT_EQ(plc->Requests(), 3);
    EXPECT_EQ(value[0], 0xAB);
    SetGate("05A0020", 'A', 0x20, 1);
    SetFloat(1.0f);
    EXPECT_EQ(Call(ZEV_SINGLE_WRITE), 2u);
    EXPECT_EQ(plc->Requests(), 6);
    EXPECT_TRUE(testhost::Logged("ROVOD> DoWrite() Retry 2, TLen 14"));
}

// A line that never falls quiet: 64 noise bytes without the end character
// every 2 ms, from the far end, until stopped or for at most 20 s.
struct Babbler {
    explicit Babbler(ptytest::Pty *pPty) : pPty(pPty) {
        fcntl(pPty->iMaster, F_SETFL, fcntl(pPty->iMaster, F_GETFL) | O_NONBLOCK);
        thread = std::thread([this] {
            std::mt19937 random(7);
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!bStop && std::chrono::steady_clock::now() < end) {
                uint8_t noise[64];
                for (uint8_t &b : noise) b = static_cast<uint8_t>(random() % 0x16);  // below 0x16
                ptytest::PtyWrite(this->pPty, noise, sizeof noise);  // dropped when the line is full
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    ~Babbler() {
        bStop = true;
        thread.join();
        fcntl(pPty->iMaster, F_SETFL, fcntl(pPty->iMaster, F_GETFL) & ~O_NONBLOCK);
    }
    ptytest::Pty *pPty;
    std::atomic<bool> bStop{false};
    std::thread thread;
};

int64_t MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

TEST_F(TransactionsLine, BabblingLineBoundsEveryCall) {
    struct Babbled {
        const char *pszAddress;
        int32_t iMemType;
        int32_t iTag;
        int32_t iCount;
        int32_t iBitNo;
        uint32_t iFunction;
    };
    const Babbled calls[] = {
        {"05A0020", 'A', 0x20, 1, -1, ZEV_SINGLE_READ},  {"05I00213", 'I', 0x21, 1, 3, ZEV_SINGLE_READ},
        {"05A0010", 'R', 0x10, 8, -1, ZEV_BLOCK_READ},   {"05X0110", 'X', 0x110, 4, -1, ZEV_BLOCK_READ},
        {"0520000", '2', 0, 10, -1, ZEV_BLOCK_READ},     {"0530000", '3', 0, 16, -1, ZEV_BLOCK_READ},
        {"05A0030", 'A', 0x30, 1, -1, ZEV_SINGLE_WRITE}, {"05F0033", 'F', 0x33, 1, -1, ZEV_SINGLE_WRITE},
        {"05I00407", 'I', 0x40, 1, 7, ZEV_SINGLE_WRITE}, {"05X0140", 'X', 0x140, 1, -1, ZEV_SINGLE_WRITE},
        {"05Z0004", 'Z', 4, 1, -1, ZEV_SINGLE_WRITE},
    };
    // Three silent attempts of a 100 ms reply time-out, the discard's bound,
    // and room for a loaded machine.
    constexpr int64_t kBoundMs = 3 * 100 + 150 + 150;
    plc->SetMode(Mode::Silent);
    int64_t llLongestMs = 0;
    {
        Babbler babbler(&pty);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const Babbled &c : calls) {
            SCOPED_TRACE(c.pszAddress);
            SetGate(c.pszAddress, c.iMemType, c.iTag, c.iCount, c.iBitNo);
            if (c.iFunction == ZEV_SINGLE_WRITE) SetWord(1);
            const auto before = value;
            const auto start = std::chrono::steady_clock::now();
            const uint32_t result = Call(c.iFunction);
            const int64_t llMs = MsSince(start);
            llLongestMs = std::max(llLongestMs, llMs);
            EXPECT_TRUE(result == 1 || result == 2) << result;
            EXPECT_LE(llMs, kBoundMs);
            EXPECT_EQ(value, before);
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Call(ZEV_WARM_START), 0u);
        EXPECT_LE(MsSince(start), 150 + 150);
    }
    std::printf("longest call on the babbling line: %lld ms\n", static_cast<long long>(llLongestMs));
    plc->SetMode(Mode::Normal);
    SetGate("05A0020", 'A', 0x20, 1);
    EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u) << testhost::Dump();
    EXPECT_FLOAT_EQ(FloatAt(0), 0.8f);
}

TEST_F(TransactionsLine, TransactionsAllocateNothing) {
    SetGate("05A0020", 'A', 0x20, 1);
    ASSERT_EQ(Call(ZEV_SINGLE_READ), 0u);  // warm up the first use of every path
    ASSERT_EQ(Call(ZEV_SINGLE_WRITE), 0u);
    GateRecord readGate = gate;
    GateRecord writeGate = gate;
    writeGate.iTagAddr = 0x22;
    gAllocations = 0;
    tCounting = true;
    int iFailures = 0;
    for (int i = 0; i < 500; ++i) {
        request.pParams = &readGate;
        iFailures += Call(ZEV_SINGLE_READ) != 0;
        request.pParams = &writeGate;
        iFailures += Call(ZEV_SINGLE_WRITE) != 0;
    }
    tCounting = false;
    EXPECT_EQ(iFailures, 0) << testhost::Dump();
    EXPECT_EQ(gAllocations.load(), 0);
}

}  // namespace
