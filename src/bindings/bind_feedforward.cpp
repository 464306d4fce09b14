#include "bindings/bindings.hpp"

namespace varnel::bindings {

void bind_feedforward(pybind11::module_& /*module*/) {}

}  // namespace varnel::bindings
