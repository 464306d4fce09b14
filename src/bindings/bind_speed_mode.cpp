#include "bindings/bindings.hpp"

namespace varnel::bindings {

void bind_speed_mode(pybind11::module_& /*module*/) {}

}  // namespace varnel::bindings
