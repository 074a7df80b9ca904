#include "web/join_address.h"

#include <qrencode.h>

#include <cstdio>
#include <string>

#include "platform/console.h"
#include "platform/interfaces.h"

namespace {

// Light modules around the code, which a camera needs to find it.
constexpr int QUIET_ZONE = 2;

bool isDark(const QRcode &code, int x, int y) {
    if (x < 0 || y < 0 || x >= code.width || y >= code.width) return false;
    return (code.data[y * code.width + x] & 1) != 0;
}

// Two rows of modules per line of half blocks, light drawn as the block: terminals are dark, and
// a phone reads a code drawn either way.
void printQrCode(const std::string &text) {
    QRcode *code = QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_L, QR_MODE_8, 1);
    if (code == nullptr) return;
    for (int y = -QUIET_ZONE; y < code->width + QUIET_ZONE; y += 2) {
        std::string line = "  ";
        for (int x = -QUIET_ZONE; x < code->width + QUIET_ZONE; x++) {
            const bool upperLight = !isDark(*code, x, y);
            const bool lowerLight = y + 1 < code->width + QUIET_ZONE && !isDark(*code, x, y + 1);
            line += upperLight ? (lowerLight ? "\u2588" : "\u2580") : (lowerLight ? "\u2584" : " ");
        }
        fprintf(stderr, "%s\n", line.c_str());
    }
    QRcode_free(code);
}

}  // namespace

void tellJoinAddresses(int port) {
    const std::vector<std::string> addresses = upInterfaceAddresses();
    fprintf(stderr, "Phones and laptops join the room by opening:\n");
    for (const std::string &address : addresses) {
        fprintf(stderr, "  http://%s:%d/\n", address.c_str(), port);
    }
    if (!addresses.empty() && standardErrorIsTerminal()) {
        printQrCode("http://" + addresses.front() + ":" + std::to_string(port) + "/");
    }
    fflush(stderr);
}
