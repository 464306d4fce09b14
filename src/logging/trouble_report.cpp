#include "logging/trouble_report.hpp"

#include <atomic>
#include <chrono>
#include <ctime>
#include <iterator>

#include <unistd.h>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "logging/unique_fd.hpp"

namespace logging::detail {
namespace {

using steady_clock = std::chrono::steady_clock;

std::atomic<std::uint64_t> reports_made{0};
std::atomic<std::uint64_t> lines_lost{0};
std::atomic<std::uint64_t> lines_lost_told{0};  // the count the last "in total" report gave

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

bool report_trouble(std::string_view what, ReportLimit* limit) noexcept {
    if (limit != nullptr && !limit->claim()) {
        return false;
    }
    const std::uint64_t number = reports_made.fetch_add(1, std::memory_order_relaxed) + 1;
    const std::time_t wall = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&wall, &local);
    char report[1024];
    constexpr std::size_t room = sizeof report - 1;  // the line end always fits
    auto end = fmt::format_to_n(report, room, FMT_STRING("[*** LOG ERROR #{:04d} ***] [{:%Y-%m-%d %H:%M:%S}] [core] {}"),
                                number, local, what)
                   .out;
    *end++ = '\n';
    write_all(STDERR_FILENO, report, static_cast<std::size_t>(end - report));
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
    char what[64];
    const auto end = fmt::format_to_n(what, sizeof what, FMT_STRING("{} lines lost in total"), lost).out;
    report_trouble(std::string_view(what, static_cast<std::size_t>(end - what)));
}

}  // namespace logging::detail
