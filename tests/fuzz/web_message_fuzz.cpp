// Arbitrary text, read as each JSON message of the web part is: a conductor's command, a page's
// report, and the room's state as the audience and the conductors are told it (the loop writes the
// state, but with the same reader). Beyond the sanitizers' checks: a command that is taken is
// within its ranges, with a track list --tracks takes; a report is within its clamps; a state that
// is read gives the audience one JSON object of the song, and the conductors one JSON object that
// reads back to the very same rewrite.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "fuzz_input.h"
#include "schedule/song_filter.h"
#include "shell/long_options.h"
#include "web/conductor_command.h"
#include "web/json_message.h"
#include "web/page_session.h"
#include "web/room_messages.h"

namespace {

// A page bridged from loopback port 40000, as the web room names it to conductors.
const std::map<unsigned, std::string> PAGE_ADDRESSES = {{40000, "192.168.1.7:51000"}};

void checkCommand(const ConcertCommand &command) {
    switch (command.kind) {
        case ConcertCommandKind::PlaySong: check(command.index >= 0 && command.index <= 100000); break;
        case ConcertCommandKind::Seek: check(command.songMs >= 0); break;
        case ConcertCommandKind::Loop: check(command.songMs >= 0 && command.untilMs >= 0); break;
        case ConcertCommandKind::Tempo: check(command.percent >= 25 && command.percent <= 400); break;
        case ConcertCommandKind::SongOptions: {
            const ConcertSongOptions &options = command.options;
            NumberList tracks;
            check(options.transpose >= -48 && options.transpose <= 48 && options.lowestKey >= 0 &&
                  options.highestKey <= 127 && options.highestKey - options.lowestKey >= OCTAVE - 1);
            check(options.tracks.find('\0') == std::string::npos &&
                  (options.tracks.empty() || readTrackList(options.tracks.c_str(), tracks)));
            break;
        }
        default: break;
    }
}

// The text as one JSON object, read without the web part's own bounds.
bool isJsonObject(const std::string &text, JsonValue &value) {
    value = JsonValue::parse(text, nullptr, false);
    return !value.is_discarded() && value.is_object();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);

    ConcertCommand command{};
    if (readConductorCommand(text, command)) checkCommand(command);

    PageReport report;
    if (readPageReport(text, report))
        check(report.roundTripMicros <= 60000000 && report.late >= 0 && report.late <= INT16_MAX &&
              report.missed >= 0 && report.missed <= INT16_MAX);

    AudienceSong song;
    JsonValue told;
    if (readAudienceSong(text, song)) {
        check(std::isfinite(song.positionMs) && std::isfinite(song.tempo));
        check(isJsonObject(song.message, told) && told.size() == 1 && told["song"].is_object() &&
              told["song"].size() == 7);
    }

    JsonValue state;
    if (readJson(text, state)) {
        const std::string rewritten = conductorStateMessage(text, PAGE_ADDRESSES);
        JsonValue message;
        check(isJsonObject(rewritten, message) && message.size() == 1 && message.contains("state"));
        check(conductorStateMessage(writeJson(message["state"]), PAGE_ADDRESSES) == rewritten);
    }
    return 0;
}
