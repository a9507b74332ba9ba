// Why a port would not open, as the posix system tells it through the
// driver's log: a missing device, a port another process holds, a port the
// user may not read (checked as nobody when the tests run as root).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "base/context.h"
#include "line/pty.h"
#include "support/test_host.h"
#include "zedadad/zedadad.h"

namespace {

constexpr uid_t kNobody = 65534;

// ColdStart on the port; the line that follows "OpenCom() failed", or "".
std::string OpenFailureLine(const char *pszPort) {
    testhost::Reset();
    alignas(8) std::array<unsigned char, zev::kContextSize> block{};
    PortSettings settings{"", 1, 10, 9600, 8, 0, 0};
    std::snprintf(settings.szPort, sizeof settings.szPort, "%.11s", pszPort);
    ZevRequest request{block.data(), ZEV_COLD_START, 0, 0, &settings};
    ZevMain(&request);
    std::string line;
    const std::vector<std::string> texts = testhost::LogTexts();
    for (size_t i = 0; i + 1 < texts.size(); ++i)
        if (texts[i] == "ROVOD> OpenCom() failed") line = texts[i + 1];
    request = ZevRequest{block.data(), ZEV_END_ZEV, 0, 0, nullptr};
    ZevMain(&request);
    return line;
}

// The same in a child process that first runs setUp (as another user, say).
std::string OpenFailureLineIn(const std::function<void()> &setUp, const char *pszPort) {
    int aPipe[2];
    if (pipe(aPipe) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(aPipe[0]);
        setUp();
        const std::string line = OpenFailureLine(pszPort);
        if (write(aPipe[1], line.data(), line.size()) < 0) _exit(2);
        _exit(0);
    }
    close(aPipe[1]);
    std::string line;
    char buffer[256];
    for (ssize_t n; (n = read(aPipe[0], buffer, sizeof buffer)) > 0;)
        line.append(buffer, static_cast<size_t>(n));
    close(aPipe[0]);
    waitpid(pid, nullptr, 0);
    return line;
}

// Another process with the port open and locked, as a second driver would hold it.
pid_t StartHolder(const char *pszPath) {
    int aReady[2];
    if (pipe(aReady) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        prctl(PR_SET_NAME, "rovod-holder");
        const int fd = open(pszPath, O_RDWR | O_NOCTTY);
        if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
        if (write(aReady[1], "x", 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    close(aReady[1]);
    char ch = 0;
    const bool bReady = read(aReady[0], &ch, 1) == 1;
    close(aReady[0]);
    return bReady ? pid : -1;
}

std::string GroupOf(const char *pszPath) {
    struct stat info {};
    if (stat(pszPath, &info) != 0) return "?";
    const group *pGroup = getgrgid(info.st_gid);
    return pGroup != nullptr ? pGroup->gr_name : std::to_string(info.st_gid);
}

TEST(OpenFailure, MissingHeldAndForbiddenPortsSayWhatToDo) {
    ptytest::Pty pty{};
    ASSERT_TRUE(ptytest::PtyOpen(&pty, false)) << errno;
    const std::string path = pty.szPath;

    // Missing: the ports there are follow (this machine's; the recorded tree
    // of the tools tests checks the listing itself).
    const std::string missing = OpenFailureLine("ttyNOPE9");
    EXPECT_EQ(missing.rfind("ROVOD> OpenCom() /dev/ttyNOPE9: no such device; ", 0), 0u) << missing;
    EXPECT_TRUE(missing.find("; serial ports here: /dev/") != std::string::npos ||
                missing.find("; no serial port found on this machine") != std::string::npos)
        << missing;

    // Held by another process: named, with its pid.
    const pid_t holder = StartHolder(pty.szPath);
    ASSERT_GT(holder, 0);
    EXPECT_EQ(OpenFailureLine(pty.szName), "ROVOD> OpenCom() " + path + ": in use by process " +
                                               std::to_string(holder) +
                                               " (rovod-holder); close the port there or end that process");
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);

    // Read and write for owner and group only: the user is told to join the
    // group. Root may open anything, so the check runs as nobody; a user who
    // is not root is refused the pty when its own bits are gone.
    const bool bRoot = geteuid() == 0;
    ASSERT_EQ(chmod(pty.szPath, bRoot ? 0660 : 0060), 0);
    const std::string group = GroupOf(pty.szPath);
    const std::string forbidden = OpenFailureLineIn(
        [bRoot] {
            if (bRoot && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
                _exit(3);
        },
        pty.szName);
    if (bRoot) {
        EXPECT_EQ(forbidden, "ROVOD> OpenCom() " + path + ": permission denied: the port belongs to group " +
                                 group + "; add the user to it (sudo usermod -aG " + group +
                                 " nobody) and log in again");
    } else {
        EXPECT_EQ(forbidden.rfind("ROVOD> OpenCom() " + path + ": permission denied", 0), 0u) << forbidden;
    }
    ptytest::PtyClose(&pty);
}

}  // namespace
