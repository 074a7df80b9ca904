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
        writeStandardError((line + "\n").c_str());
    }
    QRcode_free(code);
}

}  // namespace

std::string tellJoinAddresses(int port, const std::string &conductorKey) {
    const std::vector<std::string> addresses = upInterfaceAddresses();
    fprintf(stderr, "Phones and laptops join the room by opening:\n");
    for (const std::string &address : addresses) {
        fprintf(stderr, "  http://%s:%d/\n", address.c_str(), port);
    }
    std::string audience =
        addresses.empty() ? std::string() : "http://" + addresses.front() + ":" + std::to_string(port) + "/";
    if (!addresses.empty() && standardErrorIsTerminal()) printQrCode(audience);
    fprintf(stderr, "The conductor steers the room from:\n");
    for (const std::string &address : addresses) {
        fprintf(stderr, "  http://%s:%d/conductor/%s\n", address.c_str(), port, conductorKey.c_str());
    }
    fflush(stderr);
    return audience;
}

std::string qrCodeSvg(const std::string &text) {
    QRcode *code = QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_L, QR_MODE_8, 1);
    if (code == nullptr) return "";
    const std::string side = std::to_string(code->width + 2 * QUIET_ZONE);
    std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 )" + side + " " + side +
                      R"(" shape-rendering="crispEdges"><rect width=")" + side + R"(" height=")" + side +
                      R"(" fill="#fff"/><path fill="#000" d=")";
    for (int y = 0; y < code->width; y++) {
        for (int x = 0; x < code->width; x++) {
            if (isDark(*code, x, y))
                svg += "M" + std::to_string(x + QUIET_ZONE) + " " + std::to_string(y + QUIET_ZONE) + "h1v1h-1z";
        }
    }
    QRcode_free(code);
    return svg + R"("/></svg>)" + "\n";
}
