#include <gtest/gtest.h>

#include <string>

#include "concert/terminal_keys.h"

namespace {
// The commands the bytes ask for, in order, one word each.
std::string commandsOf(const std::string &typed) {
    TerminalKeyStream stream;
    std::string asked;
    for (const char byte : typed) {
        ConcertCommand command{};
        if (!takeTerminalByte(stream, static_cast<unsigned char>(byte), command)) continue;
        switch (command.kind) {
            case ConcertCommandKind::TogglePause: asked += "pause "; break;
            case ConcertCommandKind::SeekBy: asked += "seek" + std::to_string(command.songMs) + " "; break;
            case ConcertCommandKind::TempoBy: asked += "tempo" + std::to_string(command.percent) + " "; break;
            case ConcertCommandKind::Next: asked += "next "; break;
            case ConcertCommandKind::Previous: asked += "previous "; break;
            case ConcertCommandKind::Stop: asked += "stop "; break;
            default: asked += "other "; break;
        }
    }
    return asked;
}
}  // namespace

TEST(TerminalKeys, EachKeyAsksItsCommand) {
    EXPECT_EQ(commandsOf(" +=-nNpPqQ"), "pause tempo10 tempo10 tempo-10 next next previous previous stop stop ");
    EXPECT_EQ(commandsOf("x\r\n\x04\xc3\xa9 0"), "pause ");
}

TEST(TerminalKeys, ArrowsSeekInEitherCursorMode) {
    // Plain, in the application cursor mode, with Ctrl held, and after Escape pressed alone.
    EXPECT_EQ(commandsOf("\x1b[C\x1b[D\x1bOC\x1bOD\x1b[1;5D\x1b\x1b[C"),
              "seek5000 seek-5000 seek5000 seek-5000 seek-5000 seek5000 ");
}

TEST(TerminalKeys, OtherEscapeSequencesAreReadPast) {
    // Up, Delete, F1, F5, Alt+q, then a terminal's answers ended by BEL and by ESC backslash.
    EXPECT_EQ(commandsOf("\x1b[A\x1b[3~\x1bOP\x1b[15~\x1bq\x1b]2;p n q\x07\x1b]11;rgb:0/0/0\x1b\\"), "");
    EXPECT_EQ(commandsOf("\x1b[15~q\x1b]2;n\x07 "), "stop pause ");
}
