#pragma once
// The call sites of foundation_logging.log(): the code object and line of the calling Python
// frame, each with the limits' state of that line.
//
// Both are found without making a frame object or reading the line table on every call: each code
// object that calls log() gets a CodeSites record in its extra slot, freed with it, which keeps its
// file name as UTF-8 and maps the byte offset of each call instruction to the site of its line.
// Everything here runs holding the interpreter lock.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <varnel/logging/limits.hpp>

namespace varnel::foundation_logging {

struct CodeSites;

/// Where log() was called from.
class Caller {
public:
    /// The innermost Python frame of this thread. Throws std::bad_alloc.
    Caller();

    /// The caller's file (co_filename) as UTF-8, what UTF-8 cannot encode written with backslash
    /// escapes; "" when no Python frame called. Lives as long as the calling code object.
    const char* path() const noexcept;

    /// The limits' state of the caller's code object and line. Throws std::bad_alloc.
    logging::LogSite& site();

private:
    _PyInterpreterFrame* frame_ = nullptr;  // the calling frame, if any
    CodeSites* sites_ = nullptr;            // its code object's record, if any
};

/// Reserves the code objects' extra slot for the records; false with a Python error set.
bool reserve_code_slot();

}  // namespace varnel::foundation_logging
