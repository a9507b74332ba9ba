// The simulator's frame parser on any bytes, as its serve loop runs it: each
// scan consumes no more than it has and at least one byte unless it waits for
// more, an accepted request is rebuilt byte for byte, and the replies built
// for it are well formed. The value-word conversions take any word and any
// double.
#include <cmath>
#include <cstring>
#include <span>

#include "fuzz_util.h"
#include "sim_frames.h"

namespace {

void CheckReply(const sim::Bytes &f, uint8_t plc, size_t dataLen) {
    FUZZ_CHECK(f.size() == dataLen + 9 && f[0] == 0x68 && f[1] == dataLen + 3 && f[2] == f[1] &&
               f[3] == 0x68);
    FUZZ_CHECK(f[4] == 0 && f[5] == plc && f.back() == 0x16);
    FUZZ_CHECK(sim::Fcs(std::span<const uint8_t>(f).subspan(4, dataLen + 3)) == f[f.size() - 2]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::span<const uint8_t> rest(data, size);
    while (!rest.empty()) {
        const sim::Scan scan = sim::ScanRequest(rest);
        if (scan.result == sim::ScanResult::kNeedMore) {
            FUZZ_CHECK(scan.used == 0 && rest.size() < sim::kLongLen);
            break;
        }
        FUZZ_CHECK(scan.used >= 1 && scan.used <= rest.size());
        if (scan.result == sim::ScanResult::kFrame) {
            const sim::Request &r = scan.request;
            FUZZ_CHECK(sim::BuildRequest(r) == sim::Bytes(rest.begin(), rest.begin() + scan.used));
            const size_t n = sim::ElementCount(r.data);
            FUZZ_CHECK(n >= 1 && n <= 8);
            CheckReply(sim::BuildReply(r.plc, r.function, std::span<const uint8_t>(r.data).first(n)), r.plc,
                       n);
            const sim::Bytes ack = sim::BuildAck(r.plc, (r.function & 1) != 0);
            FUZZ_CHECK(ack.size() == 6 && sim::Fcs(std::span<const uint8_t>(ack).subspan(1, 3)) == ack[4]);
            FUZZ_CHECK(!sim::DescribeRequest(r).empty());
        }
        rest = rest.subspan(scan.used);
    }
    if (size >= 2) {
        const auto w = static_cast<uint16_t>(data[0] << 8 | data[1]);
        const double v = sim::ValueFromWord(w);
        FUZZ_CHECK(std::fabs(v) <= 2047.75);
        FUZZ_CHECK(std::fabs(sim::ValueFromWord(sim::WordFromValue(v)) - v) <= 1e-9 * std::fabs(v) + 1e-12);
        FUZZ_CHECK(sim::ValueFromWord(sim::WordFromValueCode(v, w & 3)) == v || (w & 0x7FFC) == 0);
    }
    if (size >= 9) {
        double x = 0;
        std::memcpy(&x, data + 1, sizeof x);
        FUZZ_CHECK(std::fabs(sim::ValueFromWord(sim::WordFromValue(x))) <= 2047.75);
        FUZZ_CHECK(std::fabs(sim::ValueFromWord(sim::WordFromValueCode(x, data[0]))) <= 2047.75);
    }
    return 0;
}
