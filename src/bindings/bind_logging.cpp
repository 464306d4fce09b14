#include "bindings/bindings.hpp"

namespace varnel::bindings {

void bind_logging(pybind11::module_& /*module*/) {}

}  // namespace varnel::bindings
