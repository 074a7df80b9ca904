#pragma once
// One RTP-MIDI data packet read from bytes alone: the RTP header, then the MIDI command section read
// command by command for its notes; the recovery journal after it is only measured.
#include <cstddef>
#include <cstdint>
#include <vector>

// The payload type every AppleMIDI peer (macOS, iOS, rtpMIDI, rtpmidid) puts on its data packets.
constexpr uint8_t RTP_MIDI_PAYLOAD_TYPE = 97;

// A note-on or note-off; a note-on of velocity 0 is read as the note-off it means.
struct RtpMidiNote {
    uint32_t delta;  // after the packet's timestamp, in the stream's clock: the sum of the deltas so far
    uint8_t channel;
    uint8_t key;
    uint8_t velocity;  // 0: the note ends
};

struct RtpMidiPacket {
    uint16_t sequence;
    uint32_t timestamp;
    uint32_t ssrc;
    bool journal;  // a recovery journal follows the commands
    std::vector<RtpMidiNote> notes;
};

// Reads the packet; false for anything that is not a well-formed RTP-MIDI packet of our payload
// type, and then the packet is to be dropped whole. Never reads past bytes + length.
bool readRtpMidiPacket(const uint8_t *bytes, size_t length, RtpMidiPacket &packet);

// Where a sequence number stands after the last one a session took.
enum class SequenceStep {
    NEXT,    // the one after it
    JUMPED,  // later, with packets lost between
    STALE,   // a repeat or one overtaken: its notes have been played or given up
};
SequenceStep sequenceStepOf(uint16_t last, uint16_t sequence);
