// Running rovod and rovod-sim as programs, for the end-to-end tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace rovod_e2e {

using nlohmann::json;

struct Outcome {
    int status = -1;
    std::string out, err;
};

inline std::string Slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs rovod with the arguments; short time-outs keep the failures quick.
inline Outcome Rovod(const std::string &args, const std::string &driver = ROVOD_DRIVER_LIB,
                     const std::string &prefix = "") {
    static int serial = 0;
    const std::string base =
        ::testing::TempDir() + "rovod_e2e_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
    const std::string command = prefix + std::string(ROVOD_BIN) + " --driver " + driver + " " + args + " >" +
                                base + ".out 2>" + base + ".err </dev/null";
    Outcome o;
    const int raw = std::system(command.c_str());
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    o.out = Slurp(base + ".out");
    o.err = Slurp(base + ".err");
    std::remove((base + ".out").c_str());
    std::remove((base + ".err").c_str());
    return o;
}

inline json Json(const Outcome &o) {
    const json j = json::parse(o.out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << o.out << o.err;
    return j;
}

inline size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A standalone simulator on a pseudo-terminal, ended with the test.
struct Simulator {
    pid_t pid = -1;
    std::string port;

    explicit Simulator(const std::vector<std::string> &extra, const std::string &plcs = "1,2") {
        int pipeFd[2];
        if (pipe(pipeFd) != 0) return;
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(pipeFd[1], 1);
            const int devNull = open("/dev/null", O_WRONLY);
            dup2(devNull, 2);
            close(pipeFd[0]);
            std::vector<std::string> args{ROVOD_SIM_BIN, "--pty", "--frozen", "--plc", plcs};
            args.insert(args.end(), extra.begin(), extra.end());
            std::vector<char *> argv;
            for (std::string &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(pipeFd[1]);
        char ch;
        while (read(pipeFd[0], &ch, 1) == 1 && ch != '\n') port += ch;
        close(pipeFd[0]);
    }
    ~Simulator() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }
};

}  // namespace rovod_e2e
