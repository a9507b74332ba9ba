// The far end of win32_line.exe's COM port: a pseudo-terminal that does what
// each line the Windows side sends asks for.
//   S n pieces gap   send n bytes 'A'..'Z' repeated, in pieces gap ms apart
//   B ms             babble for ms: 64 noise bytes (never 0x16) every 2 ms,
//                    then drop whatever the Windows side sent meanwhile
//   H ms             wait, then close the master: the port disappears
// Prints the slave's path, then serves until H or the master fails.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

void Pause(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool Send(int fd, unsigned n, unsigned pieces, unsigned gapMs) {
    std::string bytes;
    for (unsigned i = 0; i < n; ++i) bytes += static_cast<char>('A' + i % 26);
    if (pieces == 0) return true;
    size_t at = 0;
    for (unsigned piece = 0; piece < pieces; ++piece) {
        if (piece > 0) Pause(gapMs);
        const size_t end = piece + 1 == pieces ? bytes.size() : bytes.size() * (piece + 1) / pieces;
        for (; at < end;) {
            const ssize_t put = write(fd, bytes.data() + at, end - at);
            if (put <= 0) return false;
            at += static_cast<size_t>(put);
        }
    }
    return true;
}

// Writes that find the line full are dropped, as a stuck transmitter's bytes
// would be lost.
void Babble(int fd, unsigned ms) {
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    unsigned seed = 1;
    while (std::chrono::steady_clock::now() < end) {
        unsigned char noise[64];
        for (unsigned char &b : noise) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<unsigned char>((seed >> 16) % 0x16);
        }
        if (write(fd, noise, sizeof noise) < 0) {
            // full: the bytes are lost
        }
        Pause(2);
    }
    unsigned char sink[256];
    while (read(fd, sink, sizeof sink) > 0) {
    }
    fcntl(fd, F_SETFL, flags);
}

}  // namespace

int main() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
    // Held open, so the pty stays up while the Windows side closes and
    // reopens the port.
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios raw{};
    if (slave < 0 || tcgetattr(slave, &raw) != 0) return 1;
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::printf("%s\n", ptsname(master));
    std::fflush(stdout);

    std::string line;
    char ch;
    while (read(master, &ch, 1) == 1) {
        if (ch != '\n') {
            line += ch;
            continue;
        }
        unsigned a = 0, b = 0, c = 0;
        std::fprintf(stderr, "peer: %s\n", line.c_str());
        if (std::sscanf(line.c_str(), "S %u %u %u", &a, &b, &c) == 3) {
            if (!Send(master, a, b, c)) return 1;
        } else if (std::sscanf(line.c_str(), "B %u", &a) == 1) {
            Babble(master, a);
        } else if (std::sscanf(line.c_str(), "H %u", &a) == 1) {
            Pause(a);
            close(master);
            Pause(3000);  // the slave stays open: only the far end is gone
            return 0;
        }
        line.clear();
    }
    return 0;
}
