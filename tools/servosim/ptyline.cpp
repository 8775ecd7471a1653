// Kept apart from every file that includes <termios.h>: its struct termios clashes with the kernel's.
#include "ptyline.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace servosim {

bool setRawLine(int fd, int baudRate)
{
    struct termios2 line
    {
    };
    if (ioctl(fd, TCGETS2, &line) != 0)
        return false;
    line.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    line.c_oflag &= ~tcflag_t(OPOST);
    line.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD | CIBAUD);
    line.c_cflag |= tcflag_t(CS8 | CREAD | CLOCAL | BOTHER);
    line.c_ispeed = speed_t(baudRate);
    line.c_ospeed = speed_t(baudRate);
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    return ioctl(fd, TCSETS2, &line) == 0;
}

int lineBaudRate(int fd)
{
    struct termios2 line
    {
    };
    if (ioctl(fd, TCGETS2, &line) != 0)
        return -1;
    // The kernel fills c_ospeed for the classic Bxxx codes too.
    return int(line.c_ospeed);
}

} // namespace servosim
