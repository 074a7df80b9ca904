// Arbitrary bytes through the MIDI reader, with every hook installed. The recording hooks read
// every byte of each meta-event buffer, so a wrong length shows as an out-of-bounds read.
#include <cstddef>
#include <cstdint>

#include "midi/midifile.h"
#include "support/midi_bytes.h"
#include "support/midi_recorder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    clearMidiHooks();
    midirecorder::installAllHooks();
    // Half of the inputs stop at the first unknown meta event, the other half go on past it.
    midirecorder::errorResult = (size & 1) ? -1 : 0;
    midibytes::serve(data, size);
    int result = mfread();
    // Success is 0; anything else must be a failure.
    if (result > 0 || midibytes::memorySource.position > size) __builtin_trap();
    return 0;
}
