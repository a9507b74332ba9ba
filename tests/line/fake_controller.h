// A controller on the master side of a pseudo-terminal, for line tests and
// benchmarks: it parses request frames on its own and answers from a memory
// map, with switches for the ways a real line misbehaves.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "line/pty.h"

namespace fakeplc {

using Bytes = std::vector<uint8_t>;

enum class Mode {
    Normal,
    Silent,      // answers nothing
    InPieces,    // the answer in two parts, 30 ms apart
    Trailing,    // two stray bytes after the answer
    NoiseFirst,  // stray bytes before the answer of the next request only
    NakAll,      // refuses every write
};

inline uint8_t Sum(const uint8_t *p, size_t n) {
    uint8_t s = 0;
    for (size_t i = 0; i < n; ++i) s = static_cast<uint8_t>(s + p[i]);
    return s;
}

class Controller {
public:
    explicit Controller(ptytest::Pty *pPty, uint8_t bStation) : pPty_(pPty), bStation_(bStation) {
        for (size_t i = 0; i < words_.size(); ++i) words_[i] = static_cast<uint16_t>(0x8000 | (i * 4));
        for (size_t i = 0; i < ram_.size(); ++i) ram_[i] = static_cast<uint8_t>(i);
        for (size_t i = 0; i < block2_.size(); ++i) block2_[i] = static_cast<uint8_t>(0xB0 + i);
        thread_ = std::thread([this] { Serve(); });
    }
    ~Controller() {
        stop_ = true;
        thread_.join();
    }
    Controller(const Controller &) = delete;
    Controller &operator=(const Controller &) = delete;

    void SetMode(Mode mode) { mode_ = mode; }
    void SetBlock3Count(int n) { block3Count_ = n; }
    int Requests() const { return requests_; }

    // Memory, by element: value words (A, F, P, R share one map here), RAM
    // bytes (I and X), switches.
    uint16_t Word(uint8_t bElement) {
        std::lock_guard<std::mutex> lock(mutex_);
        return words_[bElement];
    }
    void SetWord(uint8_t bElement, uint16_t wWord) {
        std::lock_guard<std::mutex> lock(mutex_);
        words_[bElement] = wWord;
    }
    uint8_t Ram(uint16_t wAddress) {
        std::lock_guard<std::mutex> lock(mutex_);
        return ram_[wAddress];
    }
    uint8_t Switch(int iTag) {
        std::lock_guard<std::mutex> lock(mutex_);
        return switches_[iTag - 1];
    }

private:
    void Serve() {
        while (!stop_) {
            uint8_t bStart = 0;
            if (ptytest::PtyRead(pPty_, &bStart, 1, 20) != 1) continue;
            Bytes frame = {bStart};
            const size_t n = bStart == 0x10 ? 6 : bStart == 0xA2 ? 14 : 0;
            if (n == 0) continue;
            frame.resize(n);
            if (ptytest::PtyRead(pPty_, frame.data() + 1, n - 1, 200) != n - 1) continue;
            if (frame[n - 1] != 0x16 || Sum(&frame[1], n - 3) != frame[n - 2] || frame[1] != bStation_)
                continue;
            ++requests_;
            Answer(Handle(frame));
        }
    }

    Bytes Reply(const Bytes &data) const {
        const auto bL = static_cast<uint8_t>(3 + data.size());
        Bytes r = {0x68, bL, bL, 0x68, 0x00, bStation_, 0x08};
        // push_back, not insert: GCC 12 at -O3 misreads a range insert here as out of bounds
        for (const uint8_t b : data) r.push_back(b);
        r.push_back(Sum(&r[4], bL));
        r.push_back(0x16);
        return r;
    }

    Bytes Ack(bool bAccepted) const {
        Bytes r = {0x10, 0x00, bStation_, static_cast<uint8_t>(bAccepted ? 0x10 : 0x11)};
        r.push_back(Sum(&r[1], 3));
        r.push_back(0x16);
        return r;
    }

    void PushWord(Bytes *pData, uint16_t w) const {
        pData->push_back(static_cast<uint8_t>(w >> 8));
        pData->push_back(static_cast<uint8_t>(w));
    }

    Bytes Handle(const Bytes &f) {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool bAccept = mode_ != Mode::NakAll;
        Bytes data;
        switch (f[3]) {
            case 2:
                data.assign(block2_.begin(), block2_.end());
                return Reply(data);
            case 3:
                data.assign(block2_.begin(), block2_.end());
                for (int i = 0; i < block3Count_; ++i) PushWord(&data, words_[i]);
                return Reply(data);
            case 4: {
                // Addresses count up; the repeated last one ends the list.
                int n = 1;
                while (n < 8 && f[4 + n] == static_cast<uint8_t>(f[3 + n] + 1)) ++n;
                for (int i = 0; i < n; ++i) PushWord(&data, words_[f[4 + i]]);
                return Reply(data);
            }
            case 5:
                for (int i = 0; i < f[5]; ++i) data.push_back(ram_[(f[4] + i) & 0xFFFF]);
                return Reply(data);
            case 6:
                for (int i = 0; i < f[6]; ++i) data.push_back(ram_[((f[4] << 8 | f[5]) + i) & 0xFFFF]);
                return Reply(data);
            case 7:
                if (bAccept) words_[f[5]] = static_cast<uint16_t>(f[6] << 8 | f[7]);
                return Ack(bAccept);
            case 8:
                if (bAccept)
                    for (int i = 0; i < 8; ++i)
                        if (f[4 + i] != 0) switches_[i] = f[4 + i];
                return Ack(bAccept);
            case 13:
                if (bAccept) ram_[f[4]] = f[6];
                return Ack(bAccept);
            case 14:
                if (bAccept) ram_[f[4] << 8 | f[5]] = f[7];
                return Ack(bAccept);
            case 31:
                if (bAccept) ram_[f[4]] = static_cast<uint8_t>(ram_[f[4]] | f[5]);
                return Ack(bAccept);
            case 47:
                if (bAccept) ram_[f[4]] = static_cast<uint8_t>(ram_[f[4]] & f[5]);
                return Ack(bAccept);
            default:
                return {};
        }
    }

    void Answer(const Bytes &reply) {
        if (reply.empty()) return;
        switch (mode_.load()) {
            case Mode::Silent:
                return;
            case Mode::InPieces:
                ptytest::PtyWrite(pPty_, reply.data(), 3);
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                ptytest::PtyWrite(pPty_, reply.data() + 3, reply.size() - 3);
                return;
            case Mode::Trailing: {
                Bytes out = reply;
                out.push_back(0x55);
                out.push_back(0xAA);
                ptytest::PtyWrite(pPty_, out.data(), out.size());
                return;
            }
            case Mode::NoiseFirst: {
                Bytes out = {0x55, 0x00};
                out.insert(out.end(), reply.begin(), reply.end());
                ptytest::PtyWrite(pPty_, out.data(), out.size());
                mode_ = Mode::Normal;
                return;
            }
            default:
                ptytest::PtyWrite(pPty_, reply.data(), reply.size());
                return;
        }
    }

    ptytest::Pty *pPty_;
    uint8_t bStation_;
    std::atomic<bool> stop_{false};
    std::atomic<Mode> mode_{Mode::Normal};
    std::atomic<int> block3Count_{16};
    std::atomic<int> requests_{0};
    std::mutex mutex_;
    std::array<uint16_t, 256> words_{};
    std::array<uint8_t, 65536> ram_{};
    std::array<uint8_t, 10> block2_{};
    std::array<uint8_t, 8> switches_{};
    std::thread thread_;
};

}  // namespace fakeplc
