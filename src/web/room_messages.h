#pragma once
// The room's state, as the song's loop publishes it, turned into what each kind of page is told:
// the audience the song and its transport, a conductor all of it with the pages named as such.
#include <cstdint>
#include <map>
#include <string>

// The song and its transport as the audience's pages follow it.
struct AudienceSong {
    std::string state;  // "waiting", "playing", "paused", "between", "over"
    long long song = -1;
    double positionMs = 0;
    uint32_t at = 0;  // the server's microsecond at which the song was at positionMs
    double tempo = 100;
    // {"song":{"length":L,"position":P,"at":A,"tempo":T,"paused":B,"name":"..","next":".."}}, the
    // position and its moment null until the song begins.
    std::string message = R"({"song":{"length":0,"position":null,"at":null,"tempo":100,"paused":false,)"
                          R"("name":"","next":""}})";
};

// The song of a published state; false when the text is no state.
bool readAudienceSong(const std::string &stateJson, AudienceSong &song);
// Whether the pages that follow the song as told must be told again: another song, state or tempo,
// or a position off the line the told one runs on (a seek, a loop's return).
bool songMoved(const AudienceSong &told, const AudienceSong &now);

// {"state": STATE} for the conductors, where each voice that is a page bridged from a loopback port
// (a key of pageAddresses) is named a "page", with the page's own address.
std::string conductorStateMessage(const std::string &stateJson, const std::map<unsigned, std::string> &pageAddresses);
