#pragma once

// Sleeps until a datagram waits on the process's socket or the milliseconds have passed, so that
// an idle client costs no processor time.
void waitForDatagram(int milliseconds);
