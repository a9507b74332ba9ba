// Replies that come after their attempt has timed out: a reply names no
// element and an acknowledge no write, so a late one must never be taken for
// the answer to a later request.
#include <algorithm>
#include <string>

#include "protocol/value.h"
#include "transaction_fixture.h"

namespace {

using scripted::Bytes;
using transaction::AckFrame;
using transaction::ReplyFrame;

constexpr uint8_t kPlc = 5;
constexpr uint8_t kSlowElement = 1;     // answered late
constexpr uint8_t kRefusedElement = 2;  // writes to it are NAKed
constexpr int64_t kOnTimeMs = 20;       // within the 100 ms reply time-out
constexpr int64_t kNsPerMs = 1000000;

float ValueOf(uint8_t bElement) { return 10.0f + bElement; }

// A controller that answers every request for kSlowElement iDelayMs late and
// every other one on time; reads give each element its own value.
scripted::Piece Answer(const Bytes &request, int64_t iDelayMs) {
    const uint8_t bFunction = request[3];
    const uint8_t bElement = bFunction == 0x07 ? request[5] : request[4];
    const int64_t iMs = bElement == kSlowElement ? iDelayMs : kOnTimeMs;
    if (bFunction == 0x07) return {AckFrame(kPlc, bElement == kRefusedElement ? 0x11 : 0x10), iMs};
    const uint16_t wWord = zev::EncodeValue(ValueOf(bElement));
    return {ReplyFrame(kPlc, {static_cast<uint8_t>(wWord >> 8), static_cast<uint8_t>(wWord)}), iMs};
}

struct LateCase {
    int64_t iDelayMs;
    bool bInTurn;          // answers one request after the other, each as late
    uint32_t iSlowResult;  // of the transaction whose replies come late
};

class Elements : public transaction::TransactionTest {
protected:
    uint32_t ReadElement(uint8_t bElement) {
        SetGate("05A00xx", kPlc, 'A', bElement, 1);
        return Call(ZEV_SINGLE_READ);
    }

    uint32_t WriteElement(uint8_t bElement) {
        SetGate("05A00xx", kPlc, 'A', bElement, 1);
        SetFloat(1.5f);
        return Call(ZEV_SINGLE_WRITE);
    }
};

class LateReply : public Elements, public ::testing::WithParamInterface<LateCase> {
protected:
    void SetUp() override {
        TransactionTest::SetUp();
        context.iTimeout = 10;  // the 100 ms of the port
        const LateCase c = GetParam();
        scripted::SetDelayedResponder([c, llBusyNs = int64_t{0}](const Bytes &request) mutable {
            scripted::Piece piece = Answer(request, c.iDelayMs);
            if (c.bInTurn) {
                const int64_t llNowNs = scripted::NowNs();
                llBusyNs = std::max(llBusyNs, llNowNs) + piece.delayMs * kNsPerMs;
                piece.delayMs = (llBusyNs - llNowNs) / kNsPerMs;
            }
            return piece;
        });
    }

    // Three attempts' replies, each iDelayMs after its request.
    static bool PastLateReplies() { return scripted::NowNs() > 4 * GetParam().iDelayMs * kNsPerMs; }
};

// Until the last late reply is long past, every later read gets its own
// element's value.
TEST_P(LateReply, ReadsNeverTakeAnotherElementsValue) {
    EXPECT_EQ(ReadElement(kSlowElement), GetParam().iSlowResult);
    if (GetParam().iSlowResult == 0) {
        EXPECT_EQ(FloatAt(0), ValueOf(kSlowElement));
    }
    for (uint8_t bElement = 3; !PastLateReplies(); bElement = bElement == 3 ? 4 : 3) {
        SCOPED_TRACE(scripted::NowNs());
        EXPECT_EQ(ReadElement(bElement), 0u) << testhost::Dump();
        EXPECT_EQ(FloatAt(0), ValueOf(bElement));
    }
}

// A refused write is reported refused, never done through the acknowledge of
// the slow write before it; a write taken is reported done.
TEST_P(LateReply, WritesNeverTakeAnotherWritesAcknowledge) {
    EXPECT_EQ(WriteElement(kSlowElement), GetParam().iSlowResult);
    while (!PastLateReplies()) {
        SCOPED_TRACE(scripted::NowNs());
        EXPECT_EQ(WriteElement(kRefusedElement), 3u) << testhost::Dump();
        EXPECT_EQ(WriteElement(3), 0u) << testhost::Dump();
    }
}

// Reply time-out 100 ms: late by less than one attempt, by more, past all
// three attempts; replies that overlap and replies in turn.
INSTANTIATE_TEST_SUITE_P(Delays, LateReply,
                         ::testing::Values(LateCase{150, false, 0}, LateCase{250, false, 0},
                                           LateCase{450, false, 2}, LateCase{150, true, 0},
                                           LateCase{250, true, 0}, LateCase{325, true, 2}),
                         [](const auto &info) {
                             return std::string(info.param.bInTurn ? "InTurn" : "Overlapping") +
                                    std::to_string(info.param.iDelayMs);
                         });

// A controller held up for longer than any wait for its replies (a busy
// task, a converter buffering): it then answers every request it was sent,
// in turn, at once. Whatever it answers, no read takes another element's
// value and no write another write's acknowledge; once it is in step, all
// go well.
class HeldUp : public Elements {
protected:
    static constexpr int64_t kHeldUntilMs = 1500;

    void SetUp() override {
        TransactionTest::SetUp();
        context.iTimeout = 10;
        scripted::SetDelayedResponder([llLastNs = int64_t{0}](const Bytes &request) mutable {
            scripted::Piece piece = Answer(request, kOnTimeMs);
            const int64_t llNowNs = scripted::NowNs();
            const int64_t llAtNs =
                std::max({llNowNs + piece.delayMs * kNsPerMs, kHeldUntilMs * kNsPerMs, llLastNs + kNsPerMs});
            llLastNs = llAtNs;
            piece.delayMs = (llAtNs - llNowNs) / kNsPerMs;
            return piece;
        });
    }
    static bool InStep() { return scripted::NowNs() > 2 * kHeldUntilMs * kNsPerMs; }
};

TEST_F(HeldUp, NoReadOrWriteTakesAnotherRequestsReply) {
    uint32_t good = 0;
    for (uint8_t bElement = 3; !InStep(); bElement = bElement == 3 ? 4 : 3) {
        SCOPED_TRACE(scripted::NowNs());
        const uint32_t result = ReadElement(bElement);
        if (result == 0) {
            EXPECT_EQ(FloatAt(0), ValueOf(bElement)) << testhost::Dump();
            ++good;
        }
        const uint32_t written = WriteElement(kRefusedElement);
        EXPECT_NE(written, 0u) << testhost::Dump();
    }
    EXPECT_GT(good, 0u);
    EXPECT_EQ(ReadElement(3), 0u);
    EXPECT_EQ(WriteElement(kRefusedElement), 3u);
    EXPECT_EQ(WriteElement(3), 0u);
}

class CleanLine : public transaction::TransactionTest {};

// A clean line pays nothing: no wait between transactions that went well.
TEST_F(CleanLine, NoSettlingAfterGoodTransactions) {
    context.iTimeout = 10;
    scripted::SetDelayedResponder([](const Bytes &request) { return Answer(request, kOnTimeMs); });
    SetGate("05A0003", kPlc, 'A', 3, 1);
    const int64_t llStartNs = scripted::NowNs();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Call(ZEV_SINGLE_READ), 0u);
    EXPECT_EQ(scripted::NowNs() - llStartNs, 4 * kOnTimeMs * kNsPerMs);
}

}  // namespace
