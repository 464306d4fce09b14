#include "foundation_logging/call_sites.hpp"

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "foundation_logging/utf8_text.hpp"

// The calling frame is read where the interpreter keeps it, as PyEval_GetFrame() finds it but
// without making a frame object for it (an allocation per call of a function that logs), through
// the functions CPython 3.12 gives frame evaluators. A new Python version needs a review first.
static_assert(PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000, "call_sites.cpp reads CPython 3.12's frames");

namespace varnel::foundation_logging {

/// What log() keeps for one code object, in the code object's extra slot.
struct CodeSites {
    std::string path;                                                           // co_filename as UTF-8
    std::vector<std::pair<int, logging::LogSite*>> by_offset;                   // call instruction -> site of its line
    std::vector<std::pair<int, std::unique_ptr<logging::LogSite>>> by_line;     // one site per line

    /// The site of the instruction `frame` is at: two calls on one line share it.
    logging::LogSite& at(_PyInterpreterFrame* frame) {
        const int offset = PyUnstable_InterpreterFrame_GetLasti(frame);
        for (const auto& [known, site] : by_offset) {
            if (known == offset) {
                return *site;
            }
        }
        const int line = PyUnstable_InterpreterFrame_GetLine(frame);  // reads the line table: once per call
        logging::LogSite* site = nullptr;
        for (const auto& [known, owned] : by_line) {
            if (known == line) {
                site = owned.get();
                break;
            }
        }
        if (site == nullptr) {
            site = by_line.emplace_back(line, std::make_unique<logging::LogSite>()).second.get();
        }
        by_offset.emplace_back(offset, site);
        return *site;
    }
};

namespace {

Py_ssize_t code_slot = -1;  // the code objects' extra slot that holds their CodeSites

// The site of every call made with no Python frame (through the C API from a native thread).
logging::LogSite frameless_site;

void free_code_sites(void* sites) { delete static_cast<CodeSites*>(sites); }

// The record of `code`, made at its first call.
CodeSites& code_sites(PyObject* code) {
    void* extra = nullptr;
    if (PyUnstable_Code_GetExtra(code, code_slot, &extra) == 0 && extra != nullptr) {
        return *static_cast<CodeSites*>(extra);
    }
    PyErr_Clear();
    auto sites = std::make_unique<CodeSites>();
    sites->path = Utf8Text(reinterpret_cast<PyCodeObject*>(code)->co_filename).view();
    if (PyUnstable_Code_SetExtra(code, code_slot, sites.get()) != 0) {
        PyErr_Clear();  // the slot is ours, so only its storage can have failed
        throw std::bad_alloc();
    }
    return *sites.release();
}

}  // namespace

Caller::Caller() : frame_(PyThreadState_Get()->cframe->current_frame) {
    if (frame_ == nullptr) {
        return;
    }
    PyObject* code = PyUnstable_InterpreterFrame_GetCode(frame_);
    Py_DECREF(code);  // the calling frame holds it until log() returns
    sites_ = &code_sites(code);
}

const char* Caller::path() const noexcept { return sites_ != nullptr ? sites_->path.c_str() : ""; }

logging::LogSite& Caller::site() { return sites_ != nullptr ? sites_->at(frame_) : frameless_site; }

bool reserve_code_slot() {
    code_slot = PyUnstable_Eval_RequestCodeExtraIndex(free_code_sites);
    if (code_slot < 0) {
        PyErr_SetString(PyExc_RuntimeError, "foundation_logging: code objects have no extra slot left");
        return false;
    }
    return true;
}

}  // namespace varnel::foundation_logging
