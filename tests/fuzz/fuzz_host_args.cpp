// The command-line host's argument and value parsing: any argument vector
// (arguments split at NUL bytes) through ParseArgs, and the value text of a
// write through PutValue for a float gate and an integer gate. Nothing runs a
// command; a command that would run has what it needs.
#include <cmath>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "args.h"
#include "fuzz_util.h"
#include "host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> args{"rovod"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    args.push_back(current);
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());

    std::ostream quiet(nullptr);
    rovod::Options options;
    rovod::Command command = rovod::Command::kNone;
    const int rc =
        rovod::ParseArgs(static_cast<int>(argv.size()), argv.data(), &options, &command, quiet, quiet);
    FUZZ_CHECK(rc == -1 || rc == 0 || rc == rovod::kUsage);
    if (rc == -1) {
        using rovod::Command;
        FUZZ_CHECK(command != Command::kNone);
        if (command == Command::kWrite) FUZZ_CHECK(options.addresses.size() == 1);
        if (command == Command::kParse || command == Command::kRead || command == Command::kPoll ||
            command == Command::kCheck)
            FUZZ_CHECK(!options.addresses.empty());
        if (command == Command::kRead || command == Command::kPoll || command == Command::kCheck)
            FUZZ_CHECK(options.count >= 0 && options.count <= 63);
    }

    // The last argument as a write's value, for both kinds of gate.
    for (const char *address : {"01A0005", "01I0012"}) {
        rovod::Gate gate;
        gate.address = address;
        gate.iDataType = address[2] == 'A' ? ZEV_TYPE_LONG : ZEV_TYPE_ANALOG16_0;
        std::memset(gate.value, 0x5A, sizeof gate.value);
        const bool bFloat = rovod::HoldsFloats(gate);
        if (!rovod::PutValue(&gate, current)) continue;
        if (bFloat) {
            float f = 0;
            std::memcpy(&f, gate.value, sizeof f);
            FUZZ_CHECK(std::isfinite(f));
        }
        for (size_t i = bFloat ? 4 : 0; i < sizeof gate.value; ++i)
            FUZZ_CHECK(gate.value[i] == 0x5A || (!bFloat && (i == 2 || i == 3)));
    }
    return 0;
}
