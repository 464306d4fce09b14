#include <varnel/logging/source_path.hpp>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <system_error>

#include "logging/path_pieces.hpp"

namespace fs = std::filesystem;

namespace logging {
namespace {

constexpr const char* project_markers[] = {".git", "tamblin.project.yml", ".tamblin"};
using detail::base_name;
using detail::is_separator;
constexpr std::string_view separators = detail::path_separators;

// The first character of a non-empty `text`: a whole UTF-8 sequence when one starts there,
// otherwise the single byte.
std::string_view first_character(std::string_view text) noexcept {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 1;
    if (length > text.size()) {
        return text.substr(0, 1);
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            return text.substr(0, 1);
        }
    }
    return text.substr(0, length);
}

// After the package marker: directories by their first character, the last piece in full.
void write_package_form(std::string_view rest, std::string& out) {
    bool first_written = true;
    while (!rest.empty()) {
        const auto end = rest.find_first_of(separators);
        const bool last_piece = end == std::string_view::npos;
        const std::string_view piece = rest.substr(0, end);
        if (!piece.empty()) {
            if (!first_written) {
                out += '.';
            }
            out += last_piece ? piece : first_character(piece);
            first_written = false;
        }
        if (last_piece) {
            break;
        }
        rest.remove_prefix(end + 1);
    }
}

// Every directory but "" and "." by its first character and '.', then the base name.
void write_abbreviated_path(std::string_view path, std::string& out) {
    const auto last = path.find_last_of(separators);
    if (last == std::string_view::npos) {
        out += path;
        return;
    }
    std::string_view directories = path.substr(0, last);
    while (true) {
        const auto end = directories.find_first_of(separators);
        const std::string_view piece = directories.substr(0, end);
        if (!piece.empty() && piece != ".") {
            out += first_character(piece);
            out += '.';
        }
        if (end == std::string_view::npos) {
            break;
        }
        directories.remove_prefix(end + 1);
    }
    out += path.substr(last + 1);
}

// The project root once found; never destroyed, so logging threads may use it at exit.
std::atomic<const std::optional<std::string>*> project_root{nullptr};

// Searched by the first caller, under a sink's lock. No one-time guard: a child forked while a
// thread of its parent was searching would wait on the guard for good. Callers that come at once
// each search, and the first answer published stays.
const std::optional<std::string>& cached_project_root() {
    const std::optional<std::string>* known = project_root.load(std::memory_order_acquire);
    if (known != nullptr) {
        return *known;
    }
    const auto* found = new std::optional<std::string>(find_project_root());
    if (project_root.compare_exchange_strong(known, found, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return *found;
    }
    delete found;  // another caller's answer came first
    return *known;
}

}  // namespace

std::optional<std::string> find_project_root() {
    std::error_code error;
    const fs::path working_directory = fs::current_path(error);
    if (error) {
        return std::nullopt;
    }
    const fs::path start = working_directory.lexically_normal();
    for (fs::path candidate = start; !candidate.empty(); candidate = candidate.parent_path()) {
        for (const char* marker : project_markers) {
            std::error_code probe_error;  // a failed probe counts as absent
            if (fs::exists(candidate / marker, probe_error)) {
                return candidate.string();
            }
        }
        if (candidate == candidate.root_path()) {
            break;
        }
    }
    return start.string();
}

std::string relative_to_root(const char* path, std::string_view root) {
    std::string copy = path ? path : "";
    std::replace(copy.begin(), copy.end(), '\\', '/');
    if (copy.empty() || copy.front() != '/' || root.empty()) {
        return copy;
    }
    const std::string_view view = copy;
    if (view.size() > root.size() && view.compare(0, root.size(), root) == 0 && view[root.size()] == '/') {
        return copy.substr(root.size() + 1);
    }
    return view == root ? "." : copy;
}

std::string project_relative_path(const char* path) {
    // Relative and empty paths never need the root, so they never start the search.
    if (path == nullptr || !is_separator(path[0])) {
        return relative_to_root(path, {});
    }
    const auto& root = cached_project_root();
    return relative_to_root(path, root ? std::string_view(*root) : std::string_view());
}

std::string format_source_path(std::string_view path) {
    std::string out;
    out.reserve(path.size());

    auto package = path.find("varnel/");
    if (package == std::string_view::npos) {
        package = path.find("varnel\\");
    }
    if (package != std::string_view::npos) {
        write_package_form(path.substr(package + 7), out);
        return out;
    }

    const auto module = path.find("varnel-");
    if (module != std::string_view::npos && module + 7 < path.size() && !is_separator(path[module + 7])) {
        out += first_character(path.substr(module + 7));
        out += '.';
        out += base_name(path);
        return out;
    }

    write_abbreviated_path(path, out);
    return out;
}

}  // namespace logging
