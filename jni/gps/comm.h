#pragma once

// Termios speed code of a bit rate (4800 -> B4800), -1 for a rate the line
// cannot run at.
int COMM_getSpeed(int rate);
