#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <spdlog/pattern_formatter.h>

#include <varnel/logging/filter.hpp>
#include <varnel/logging/lifecycle.hpp>
#include <varnel/logging/pattern_flags.hpp>

#include "logging/line_escape.hpp"
#include "logging/line_formatter.hpp"
#include "logging/state.hpp"
#include "in_child.hpp"
#include "quiet_workplace.hpp"

namespace {

using logging::detail::Column;
using namespace std::string_literals;

std::string escaped(const std::string& text, Column column) {
    spdlog::memory_buf_t buffer;
    logging::detail::append_escaped(text, column, buffer);
    return fmt::to_string(buffer);
}

struct EscapeCase {
    std::string text;
    std::string in_message;
    std::string in_source_column;
};

class Escapes : public testing::TestWithParam<EscapeCase> {};

TEST_P(Escapes, ControlCharactersAndBarsInTheSourceColumnBecomeVisible) {
    const auto& [text, in_message, in_source_column] = GetParam();
    EXPECT_EQ(escaped(text, Column::message), in_message);
    EXPECT_EQ(escaped(text, Column::source), in_source_column);
    EXPECT_EQ(logging::detail::needs_escaping(text), text != in_message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Escapes,
    testing::Values(EscapeCase{"plain text, tab\there, \\x41 and \xc3\xbc", "plain text, tab\there, \\x41 and \xc3\xbc",
                               "plain text, tab\there, \\x41 and \xc3\xbc"},
                    EscapeCase{"", "", ""},
                    EscapeCase{"a\nb\n", "a\n  b\n  ", "a\\x0ab\\x0a"},
                    EscapeCase{"s.a | b.py|", "s.a | b.py|", "s.a \\x7c b.py\\x7c"},
                    EscapeCase{"crlf\r\n", "crlf\\x0d\n  ", "crlf\\x0d\\x0a"},
                    // A clean word, then the control byte in the last, partial one.
                    EscapeCase{"0123456789\x1b", "0123456789\\x1b", "0123456789\\x1b"},
                    EscapeCase{"nul\0after"s, "nul\\x00after", "nul\\x00after"},
                    EscapeCase{"\x1b[2J\x1b]0;t\x07\x7f\x1f", "\\x1b[2J\\x1b]0;t\\x07\\x7f\\x1f",
                               "\\x1b[2J\\x1b]0;t\\x07\\x7f\\x1f"}));

// The line of a record: what spdlog's pattern with the two flags writes (the elapsed column aside,
// which each reads from the clock), the coloured level included, the message escaped.
TEST(LineFormatter, WritesThePatternOfTheFlagsAndEscapesTheMessage) {
    spdlog::pattern_formatter pattern(spdlog::pattern_time_type::local);
    pattern.add_flag<logging::ElapsedTimeFormatter>('E').add_flag<logging::SourceFileFormatter>('*');
    pattern.set_pattern("%Y-%m-%d %H:%M:%S | %E | %^%-8l%$ | %* | %v");
    const auto line = logging::detail::LineFormatter().clone();
    const std::regex elapsed(R"( \| +\d+\.\d{3}s \| )");
    const auto format = [&](spdlog::formatter& formatter, spdlog::details::log_msg& msg) {
        spdlog::memory_buf_t buffer;
        formatter.format(msg, buffer);
        return std::regex_replace(fmt::to_string(buffer), elapsed, " | E | ");
    };
    for (const char* source : {"", "/p/varnel/step/motion/drive.py"}) {
        logging::detail::current_source_file = source;
        for (int level = spdlog::level::trace; level <= spdlog::level::off; ++level) {
            spdlog::details::log_msg expected("core", static_cast<spdlog::level::level_enum>(level), "{1.2} at 50%");
            spdlog::details::log_msg msg = expected;
            EXPECT_EQ(format(*line, msg), format(pattern, expected));
            EXPECT_EQ(msg.color_range_start, expected.color_range_start);
            EXPECT_EQ(msg.color_range_end, expected.color_range_end);
        }
    }
    logging::detail::current_source_file = "";
    spdlog::details::log_msg msg("core", spdlog::level::info, "a\rb\nc");
    const std::string text = format(*line, msg);
    EXPECT_EQ(text.substr(text.find(" | a")), " | a\\x0db\n  c\n");
}

TEST(SourceFileFormatter, EscapesTheColumnAndCountsTheEscapesInItsWidth) {
    logging::SourceFileFormatter flag;
    spdlog::details::log_msg msg;
    const std::tm time{};
    spdlog::memory_buf_t buffer;
    logging::detail::current_source_file = "x/a\x01\x02\x03\x04\x05\x06\n.py";  // 13 bytes, shown as 34
    flag.format(msg, time, buffer);
    logging::detail::current_source_file = "";
    EXPECT_EQ(fmt::to_string(buffer), "x.a\\x01\\x02\\x03\\x04\\x05\\x06\\x0a.py");
}

// The native roads into the logger, each with text that would forge a record: every call is one
// record, and each record starts a line with its date.
TEST(NativeRoads, EachCallIsOneRecord) {
    run_in_child([] {
        QuietWorkplace workplace("varnel_line_escape_");
        const std::string forged = "ok\n2026-01-01 00:00:00 |     0.000s | critical | fake.py | forged";
        const std::string nul = "password=hunter2\0 rejected for user bob"s;
        const std::string path = "/p/a\r\x1b[2J.cpp";
        logging::init();
        VARNEL_LOG(logging::Level::warn, forged);
        logging::log_from_file(logging::Level::warn, path.c_str(), nul);
        logging::core()->warn("core {}\r\n\x1b]0;title\x07", "road");
        logging::shutdown();
        workplace.restore_stdout();

        std::ifstream file(workplace.directory() / ".tamblin" / "logs" / "varnel.log");
        std::stringstream text;
        text << file.rdbuf();
        const std::string log = text.str();
        const std::regex record_start(R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \| )");
        EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), record_start), std::sregex_iterator()), 4)
            << log;
        EXPECT_NE(log.find("| ok\n  2026-01-01 00:00:00 |     0.000s | critical |"), std::string::npos) << log;
        EXPECT_NE(log.find(fmt::format("| {:30} | password=hunter2\\x00 rejected for user bob\n", "p.a\\x0d\\x1b[2J.cpp")),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("| core road\\x0d\n  \\x1b]0;title\\x07\n"), std::string::npos) << log;
    });
}

}  // namespace
