#include "platform/speaker.h"

#include <ctime>

void beep(int frequency, int milliseconds) {
    if (frequency < 20 || frequency > 20000 || milliseconds <= 0) return;
    timespec length = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&length, nullptr);
}
