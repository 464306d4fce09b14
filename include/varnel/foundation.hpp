#pragma once
// Everything public of varnel-foundation, for native modules of the stack.
//
// Link the imported target varnel::foundation (find_package(varnel_foundation CONFIG)). The
// logging state, the level filters and the SpeedMode flag live in the shared core library, so
// every module of a process sees one of each.

#include <varnel/foundation/feedforward.hpp>
#include <varnel/foundation/geometry.hpp>
#include <varnel/foundation/pid.hpp>
#include <varnel/foundation/speed_mode.hpp>
#include <varnel/foundation/text_form.hpp>
#include <varnel/logging/filter.hpp>
#include <varnel/logging/level.hpp>
#include <varnel/logging/lifecycle.hpp>
#include <varnel/logging/limits.hpp>
#include <varnel/logging/pattern_flags.hpp>
#include <varnel/logging/source_path.hpp>
