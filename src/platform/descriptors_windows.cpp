#include "platform/descriptors.h"

namespace {

// Windows counts a socket among the process's handles, of which it allows some sixteen million:
// there is no lower limit to raise, and the room's own caps bind long before this one.
constexpr long PROCESS_HANDLE_LIMIT = 1L << 24;

}  // namespace

long raiseDescriptorLimit() {
    return PROCESS_HANDLE_LIMIT;
}
