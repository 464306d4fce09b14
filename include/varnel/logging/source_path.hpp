#pragma once
// Source paths as they appear in the log: relative to the project root, then abbreviated.

#include <optional>
#include <string>
#include <string_view>

namespace logging {

/// The nearest directory, from the working directory upward to the file-system root, holding an
/// entry ".git", "tamblin.project.yml" or ".tamblin" (links followed; a dangling link does not
/// count). Without any marker: the working directory itself. No value when the working
/// directory cannot be determined. Probes the file system on every call.
std::optional<std::string> find_project_root();

/// `path` with '\' turned into '/', relative to `root` when it lies below it: "root/x" gives
/// "x", "root" itself gives ".", anything else (also relative paths) comes back unchanged.
/// A null `path` is the empty text; an empty `root` means no root.
std::string relative_to_root(const char* path, std::string_view root);

/// relative_to_root() against the project root, which is searched at the first call with an
/// absolute path and cached for good (threads that make that first call at once may each search;
/// the first answer stays).
std::string project_relative_path(const char* path);

/// The short display form of a project-relative path:
///  - after the first "varnel/" (or "varnel\"): each directory by its first character, the last
///    piece in full, joined by '.' ("python/varnel/step/motion/drive.py" -> "s.m.drive.py");
///  - else after "varnel-X...": X, '.', the base name ("varnel-motion/src/d.cpp" -> "m.d.cpp");
///  - else each directory except "" and "." by its first character and '.', then the base
///    name ("/opt/tools/run.py" -> "o.t.run.py").
/// A "first character" is a whole UTF-8 sequence, so valid UTF-8 stays valid.
std::string format_source_path(std::string_view path);

}  // namespace logging
