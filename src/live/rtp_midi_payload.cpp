#include "live/rtp_midi_payload.h"

namespace {

constexpr size_t RTP_HEADER_LENGTH = 12;
constexpr uint8_t RTP_VERSION = 2;
constexpr size_t JOURNAL_HEADER_LENGTH = 3;
constexpr size_t SYSTEM_JOURNAL_HEADER_LENGTH = 2;
constexpr size_t CHANNEL_JOURNAL_HEADER_LENGTH = 3;
constexpr int LONGEST_DELTA = 4;  // octets of one delta time

constexpr uint8_t SYSEX_START = 0xF0;
constexpr uint8_t SYSEX_END = 0xF7;
constexpr uint8_t SYSEX_CANCEL = 0xF4;
constexpr uint8_t FIRST_REAL_TIME = 0xF8;

uint16_t bigEndian16(const uint8_t *bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint32_t bigEndian32(const uint8_t *bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

bool isData(uint8_t byte) {
    return byte < 0x80;
}

// A part of the journal that starts with its own 10-bit length (the header's included): false if
// it does not fit.
bool skipJournalPart(const uint8_t *bytes, size_t &at, size_t end, size_t headerLength) {
    if (end - at < headerLength) return false;
    const size_t length = (size_t{bytes[at] & 0x03u} << 8) | bytes[at + 1];
    if (length < headerLength || length > end - at) return false;
    at += length;
    return true;
}

// The recovery journal, read past by its lengths alone: the header (S, Y: a system journal
// follows, A: channel journals follow, H, TOTCHAN: their count less one, the checkpoint), then
// those journals. Its chapters are not read: a lost packet's notes are not mended from them.
bool journalFillsTheRest(const uint8_t *bytes, size_t at, size_t end) {
    if (end - at < JOURNAL_HEADER_LENGTH) return false;
    const uint8_t flags = bytes[at];
    at += JOURNAL_HEADER_LENGTH;
    if ((flags & 0x40) != 0 && !skipJournalPart(bytes, at, end, SYSTEM_JOURNAL_HEADER_LENGTH)) return false;
    if ((flags & 0x20) != 0) {
        for (int channel = 0; channel <= (flags & 0x0F); channel++) {
            if (!skipJournalPart(bytes, at, end, CHANNEL_JOURNAL_HEADER_LENGTH)) return false;
        }
    }
    return at == end;
}

// The MIDI list of a command section, read from its first octet to its end.
class CommandList {
public:
    CommandList(const uint8_t *bytes, size_t length, std::vector<RtpMidiNote> &notes)
        : bytes_(bytes), length_(length), notes_(notes) {}

    bool read(bool firstHasDelta) {
        bool hasDelta = firstHasDelta;
        while (at_ < length_) {
            if (hasDelta && !addDelta()) return false;
            hasDelta = true;
            // A delta time always precedes a command.
            if (at_ >= length_ || !command()) return false;
        }
        return true;
    }

private:
    // One to four octets, seven bits each, all but the last with the top bit set.
    bool addDelta() {
        uint32_t delta = 0;
        for (int octet = 0; octet < LONGEST_DELTA && at_ < length_; octet++) {
            const uint8_t byte = bytes_[at_++];
            delta = (delta << 7) | (byte & 0x7Fu);
            if (isData(byte)) {
                time_ += delta;
                return true;
            }
        }
        return false;
    }

    bool command() {
        uint8_t status = bytes_[at_];
        if (isData(status)) {
            // Running status: the section's first channel command always carries its own.
            if (runningStatus_ == 0) return false;
            status = runningStatus_;
        } else {
            at_++;
        }
        if (status < SYSEX_START) return channelCommand(status);
        if (status >= FIRST_REAL_TIME) return true;  // one octet, and running status stays
        runningStatus_ = 0;                          // system common and SysEx end it
        if (status == SYSEX_START || status == SYSEX_END) return sysExSegment();
        switch (status) {
            case 0xF1:
            case 0xF3: return skipData(1);
            case 0xF2: return skipData(2);
            case 0xF6: return true;
            default:
                // The undefined 0xF4 and 0xF5 take what data octets follow.
                while (at_ < length_ && isData(bytes_[at_])) at_++;
                return true;
        }
    }

    bool channelCommand(uint8_t status) {
        runningStatus_ = status;
        const uint8_t kind = status >> 4;
        const size_t dataLength = kind == 0xC || kind == 0xD ? 1 : 2;
        const size_t first = at_;
        if (!skipData(dataLength)) return false;
        if (kind == 0x8 || kind == 0x9) {
            const uint8_t velocity = kind == 0x8 ? 0 : bytes_[first + 1];
            notes_.push_back({time_, static_cast<uint8_t>(status & 0x0F), bytes_[first], velocity});
        }
        return true;
    }

    bool skipData(size_t count) {
        for (size_t i = 0; i < count; i++, at_++) {
            if (at_ >= length_ || !isData(bytes_[at_])) return false;
        }
        return true;
    }

    // A whole SysEx (F0 .. F7) or a segment of a split one (F0 .. F0, F7 .. F0, F7 .. F7), or one
    // cancelled (.. F4); real-time octets may stand inside it.
    bool sysExSegment() {
        while (at_ < length_) {
            const uint8_t byte = bytes_[at_++];
            if (byte == SYSEX_START || byte == SYSEX_END || byte == SYSEX_CANCEL) return true;
            if (!isData(byte) && byte < FIRST_REAL_TIME) return false;
        }
        return false;
    }

    const uint8_t *bytes_;
    size_t length_;
    std::vector<RtpMidiNote> &notes_;
    size_t at_ = 0;
    uint32_t time_ = 0;
    uint8_t runningStatus_ = 0;
};

}  // namespace

bool readRtpMidiPacket(const uint8_t *bytes, size_t length, RtpMidiPacket &packet) {
    packet.notes.clear();
    if (length < RTP_HEADER_LENGTH || (bytes[0] >> 6) != RTP_VERSION || (bytes[1] & 0x7F) != RTP_MIDI_PAYLOAD_TYPE) {
        return false;
    }
    const bool padded = (bytes[0] & 0x20) != 0;
    const bool extended = (bytes[0] & 0x10) != 0;
    const size_t contributors = bytes[0] & 0x0F;
    packet.sequence = bigEndian16(bytes + 2);
    packet.timestamp = bigEndian32(bytes + 4);
    packet.ssrc = bigEndian32(bytes + 8);

    size_t at = RTP_HEADER_LENGTH + 4 * contributors;
    size_t end = length;
    if (padded) {
        const size_t padding = bytes[length - 1];
        if (padding == 0 || padding > end - RTP_HEADER_LENGTH) return false;
        end -= padding;
    }
    if (extended) {
        if (at + 4 > end) return false;
        at += 4 + 4 * size_t{bigEndian16(bytes + at + 2)};
    }
    if (at >= end) return false;

    // The command section's header: B (a 12-bit LEN), J (a journal follows), Z (the first command
    // has a delta time), P (its status was running status where it was sent), then LEN.
    const uint8_t flags = bytes[at];
    const bool longHeader = (flags & 0x80) != 0;
    packet.journal = (flags & 0x40) != 0;
    size_t listLength = flags & 0x0F;
    if (longHeader) {
        if (at + 2 > end) return false;
        listLength = (listLength << 8) | bytes[at + 1];
    }
    at += longHeader ? 2 : 1;
    if (listLength > end - at) return false;
    const size_t listEnd = at + listLength;
    if (packet.journal ? !journalFillsTheRest(bytes, listEnd, end) : listEnd != end) return false;

    CommandList list(bytes + at, listLength, packet.notes);
    if (!list.read((flags & 0x20) != 0)) {
        packet.notes.clear();
        return false;
    }
    return true;
}

SequenceStep sequenceStepOf(uint16_t last, uint16_t sequence) {
    const uint16_t ahead = static_cast<uint16_t>(sequence - last);
    if (ahead == 1) return SequenceStep::NEXT;
    return ahead == 0 || ahead >= 0x8000 ? SequenceStep::STALE : SequenceStep::JUMPED;
}
