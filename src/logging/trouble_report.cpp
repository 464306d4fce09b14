#include "logging/trouble_report.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <ctime>

#include <unistd.h>

#include "logging/record_text.hpp"
#include "logging/stream_output.hpp"

namespace logging::detail {
namespace {

using steady_clock = std::chrono::steady_clock;
using ReportNumber = FixedText<1024>::Number;

std::atomic<std::uint64_t> reports_made{0};
std::atomic<std::uint64_t> lines_lost{0};
std::atomic<std::uint64_t> lines_lost_told{0};  // the count the last "in total" report gave
std::atomic<bool> stderr_stalled{false};        // the last report was not taken: the next does not wait

}  // namespace

bool ReportLimit::claim() noexcept {
    constexpr std::int64_t second = 1'000'000'000;
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(steady_clock::now().time_since_epoch()).count();
    std::int64_t last = last_.load(std::memory_order_relaxed);
    do {
        if (reported_.load(std::memory_order_relaxed) && now - last < second) {
            return false;
        }
    } while (!last_.compare_exchange_weak(last, now, std::memory_order_relaxed));
    reported_.store(true, std::memory_order_relaxed);
    return true;
}

FixedText<1024> format_report(std::string_view what) noexcept {
    const std::uint64_t number = reports_made.fetch_add(1, std::memory_order_relaxed) + 1;
    const std::time_t wall = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&wall, &local);
    std::array<char, local_time_size> date{};
    format_local_time(wall, local.tm_gmtoff, date.data());
    FixedText<1024> report;
    report << "[*** LOG ERROR #" << ReportNumber{number, 4} << " ***] [" << std::string_view(date.data(), date.size())
           << "] [core] " << std::string_view(what.data(), std::min<std::size_t>(what.size(), 960)) << "\n";
    return report;
}

bool report_trouble(std::string_view what, ReportLimit* limit) noexcept {
    if (limit != nullptr && !limit->claim()) {
        return false;
    }
    const auto report = format_report(what);
    iovec text{const_cast<char*>(report.view().data()), report.view().size()};  // NOLINT
    const int wait = stderr_stalled.load(std::memory_order_relaxed) ? 0 : reader_wait_ms;
    StreamOutput output(STDERR_FILENO);
    const auto outcome = output.write(&text, 1, {wait, reader_wait_ms});
    stderr_stalled.store(outcome == StreamOutput::Outcome::not_taken || outcome == StreamOutput::Outcome::cut_short,
                         std::memory_order_relaxed);
    return true;
}

std::uint64_t count_lost_lines(std::uint64_t lines) noexcept {
    return lines_lost.fetch_add(lines, std::memory_order_relaxed) + lines;
}

void report_lost_total() noexcept {
    const std::uint64_t lost = lines_lost.load(std::memory_order_relaxed);
    if (lines_lost_told.exchange(lost, std::memory_order_relaxed) == lost) {
        return;
    }
    FixedText<64> what;
    what << lost << " lines lost in total";
    report_trouble(what.view());
}

}  // namespace logging::detail
