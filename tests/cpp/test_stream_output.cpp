// Standard output and error as a reader who stopped reading leaves them: a write gives up within
// its wait on a pipe, a socket and a terminal alike, the stream takes texts again once read, and a
// text cut short is ended before the next one.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <utility>

#include "logging/stream_output.hpp"

namespace {

using logging::detail::StreamOutput;
using Outcome = StreamOutput::Outcome;

// A stream: the descriptor written to, and the one its reader reads.
struct Stream {
    const char* kind;
    std::pair<int, int> (*open)();
};

const Stream streams[] = {
    {"pipe", [] { int ends[2]; EXPECT_EQ(::pipe(ends), 0); return std::pair{ends[1], ends[0]}; }},
    {"socket", [] { int ends[2]; EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0); return std::pair{ends[0], ends[1]}; }},
    {"terminal", [] { int reader = -1; int writer = -1; EXPECT_EQ(::openpty(&reader, &writer, nullptr, nullptr, nullptr), 0);
                      return std::pair{writer, reader}; }},
};

Outcome write(StreamOutput& output, std::string text, StreamOutput::Wait wait) {
    iovec part{text.data(), text.size()};
    return output.write(&part, 1, wait);
}

// Everything the reader can read now.
std::string drain(int reader) {
    std::string read;
    char buffer[4096];
    ::fcntl(reader, F_SETFL, O_NONBLOCK);
    for (ssize_t got = 0; (got = ::read(reader, buffer, sizeof buffer)) > 0;) {
        read.append(buffer, static_cast<std::size_t>(got));
    }
    return read;
}

class UnreadStream : public testing::TestWithParam<Stream> {};

TEST_P(UnreadStream, GivesUpWithinItsWaitAndTakesTextsAgainOnceRead) {
    const auto [writer, reader] = GetParam().open();
    StreamOutput output(writer);
    const std::string line = std::string(99, 'x') + "\n";
    int taken = 0;
    Outcome outcome = Outcome::written;
    while (taken < 100'000 && (outcome = write(output, line, {1, 1})) == Outcome::written) {
        ++taken;
    }
    EXPECT_TRUE(outcome == Outcome::not_taken || outcome == Outcome::cut_short) << taken << " lines taken";
    drain(reader);
    EXPECT_EQ(write(output, "again\n", {20, 20}), Outcome::written);
    EXPECT_NE(drain(reader).find("again"), std::string::npos);  // a terminal ends lines its own way
    ::close(writer);
    ::close(reader);
}

INSTANTIATE_TEST_SUITE_P(Kinds, UnreadStream, testing::ValuesIn(streams),
                         [](const auto& stream) { return std::string(stream.param.kind); });

TEST(CutShort, TheNextTextStartsOnALineOfItsOwn) {
    const auto [writer, reader] = streams[0].open();
    StreamOutput output(writer);
    EXPECT_EQ(write(output, std::string(1 << 20, 'x'), {0, 1}), Outcome::cut_short);  // more than a pipe holds
    drain(reader);
    EXPECT_EQ(write(output, "next\n", {20, 20}), Outcome::written);
    EXPECT_EQ(drain(reader), "\nnext\n");
    ::close(writer);
    ::close(reader);
}

TEST(NoReader, FailsAtOnceForGood) {
    const auto [writer, reader] = streams[0].open();
    ::close(reader);
    std::signal(SIGPIPE, SIG_IGN);
    StreamOutput output(writer);
    EXPECT_EQ(write(output, "nobody\n", {1000, 1000}), Outcome::failed);
    ::close(writer);
}

TEST(File, IsWrittenAsItIs) {
    std::FILE* file = std::tmpfile();
    StreamOutput output(::fileno(file));
    EXPECT_EQ(write(output, "into a file\n", {0, 0}), Outcome::written);
    EXPECT_EQ(std::ftell(file), 12);
    std::fclose(file);
}

}  // namespace
