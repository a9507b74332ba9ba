// The device-control block as termios2, so that any rate the block can hold
// reaches the line (BOTHER where the rate table has no code for it).
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <array>
#include <cerrno>
#include <cstdint>

#include "platform/posix/posix_line.h"

// <sys/ioctl.h> would bring in the C library's termios types, which clash
// with the kernel's.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace sys::posix {

namespace {

struct RateCode {
    uint32_t dwRate;
    unsigned int uCode;
};

constexpr std::array<RateCode, 31> kRates{{
    {50, B50},
    {75, B75},
    {110, B110},
    {134, B134},
    {150, B150},
    {200, B200},
    {300, B300},
    {600, B600},
    {1200, B1200},
    {1800, B1800},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
    {460800, B460800},
    {500000, B500000},
    {576000, B576000},
    {921600, B921600},
    {1000000, B1000000},
    {1152000, B1152000},
    {1500000, B1500000},
    {2000000, B2000000},
    {2500000, B2500000},
    {3000000, B3000000},
    {3500000, B3500000},
    {4000000, B4000000},
    {0, B0},
}};

unsigned int CodeForRate(uint32_t dwRate) {
    for (const RateCode &r : kRates) {
        if (r.dwRate == dwRate && dwRate != 0) return r.uCode;
    }
    return BOTHER;
}

uint32_t RateForCode(unsigned int uCode, uint32_t dwOther) {
    if (uCode == BOTHER) return dwOther;
    for (const RateCode &r : kRates) {
        if (r.uCode == uCode) return r.dwRate;
    }
    return dwOther;
}

bool GetTermios(int fd, termios2 *pTio) {
    while (ioctl(fd, TCGETS2, pTio) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool SetTermios(int fd, const termios2 *pTio) {
    while (ioctl(fd, TCSETS2, pTio) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

uint8_t ByteSizeOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

uint8_t ParityOf(tcflag_t cflag) {
    if ((cflag & PARENB) == 0) return kNoParity;
    if (cflag & CMSPAR) return (cflag & PARODD) ? kMarkParity : kSpaceParity;
    return (cflag & PARODD) ? kOddParity : kEvenParity;
}

}  // namespace

bool ReadLineSettings(int fd, Dcb *pDcb) {
    termios2 tio{};
    if (!GetTermios(fd, &tio)) return false;
    pDcb->BaudRate = RateForCode(tio.c_cflag & CBAUD, tio.c_ospeed);
    pDcb->ByteSize = ByteSizeOf(tio.c_cflag);
    pDcb->Parity = ParityOf(tio.c_cflag);
    // CSTOPB is one and a half stop bits on a 5-bit character.
    if (tio.c_cflag & CSTOPB) {
        pDcb->StopBits = pDcb->ByteSize == 5 ? kOne5StopBits : kTwoStopBits;
    } else {
        pDcb->StopBits = kOneStopBit;
    }
    pDcb->fBinary = 1;
    pDcb->fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    pDcb->fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    pDcb->fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    pDcb->fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    pDcb->XonChar = static_cast<char>(tio.c_cc[VSTART]);
    pDcb->XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    return true;
}

bool WriteLineSettings(int fd, const Dcb *pDcb) {
    // A rate of 0 would be B0, which hangs the line up.
    if (pDcb->BaudRate == 0) return false;
    tcflag_t size = 0;
    switch (pDcb->ByteSize) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        default:
            return false;
    }
    // Codes with no meaning are refused. termios has one flag for more than
    // one stop bit (a UART makes 1.5 of it with 5 data bits, 2 otherwise), so
    // codes 1 and 2 both take it, whatever the data bits.
    if (pDcb->StopBits > kTwoStopBits || pDcb->Parity > kSpaceParity) return false;

    termios2 tio{};
    if (!GetTermios(fd, &tio)) return false;

    // Raw: no translation, no echo, no signals, bytes as they come.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC |
                                          IXON | IXOFF | IXANY | IMAXBEL | IGNPAR | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    tio.c_cflag &=
        ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | CIBAUD);
    tio.c_cflag |= size | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    switch (pDcb->Parity) {
        case kOddParity:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case kEvenParity:
            tio.c_cflag |= PARENB;
            break;
        case kMarkParity:
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case kSpaceParity:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (pDcb->StopBits != kOneStopBit) tio.c_cflag |= CSTOPB;
    if (pDcb->fParity) tio.c_iflag |= INPCK;
    if (pDcb->fOutxCtsFlow || pDcb->fRtsControl == kRtsControlHandshake) tio.c_cflag |= CRTSCTS;
    if (pDcb->fOutX) tio.c_iflag |= IXON;
    if (pDcb->fInX) tio.c_iflag |= IXOFF;
    if (pDcb->XonChar != 0) tio.c_cc[VSTART] = static_cast<cc_t>(pDcb->XonChar);
    if (pDcb->XoffChar != 0) tio.c_cc[VSTOP] = static_cast<cc_t>(pDcb->XoffChar);

    // Input speed follows the output speed (CIBAUD 0).
    tio.c_cflag |= CodeForRate(pDcb->BaudRate);
    tio.c_ospeed = pDcb->BaudRate;
    tio.c_ispeed = pDcb->BaudRate;
    return SetTermios(fd, &tio);
}

bool DiscardInput(int fd) { return ioctl(fd, TCFLSH, TCIFLUSH) == 0; }

}  // namespace sys::posix
