#pragma once

namespace servosim {

// Line settings of a terminal device, through termios2 so that any rate (also non-standard ones) is seen.
// Raw 8N1 without flow control at `baudRate`; false when the device refuses.
bool setRawLine(int fd, int baudRate);
// The output rate the other side set on the device; -1 when it cannot be read.
int lineBaudRate(int fd);

} // namespace servosim
