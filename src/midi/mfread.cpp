#include "midi/chunks.h"
#include "midi/error_report.h"
#include "midi/midifile.h"

int mfread() {
    Mf_currtime = 0;
    if (!Mf_getc) return reportMidiError(MF_GETC_UNDEFINED);

    int tracks = readHeaderChunk();
    if (tracks < 0) return tracks;
    for (int i = 0; i < tracks; i++) {
        int result = readTrackChunk();
        if (result != 0) return result;
    }
    return 0;
}
