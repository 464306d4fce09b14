// Transport access in the build that goes with the mock driver bundle: the names exist so that
// callers can import them, and asking for the transport reports that there is none.

#include <cstdint>
#include <stdexcept>

#include "bindings/bindings.hpp"
#include "bindings/uninitialised.hpp"

namespace py = pybind11;

namespace varnel::bindings {
namespace {

// Handle of a subscription on the transport; never created in this build.
struct PySubscription {
    std::uint64_t subscription_id = 0;
};

constexpr const char* transport_unavailable_message =
    "tamblin transport is not available in this build (mock driver bundle)";

}  // namespace

void bind_transport(py::module_& module) {
    py::class_<PySubscription> subscription(module, "Subscription");
    subscription.def_readonly("subscription_id", &PySubscription::subscription_id);
    refuse_when_uninitialised(subscription);
    module.def("get_transport", []() -> py::object { throw std::runtime_error(transport_unavailable_message); });
    module.def("shutdown_transport", [] {});
}

}  // namespace varnel::bindings
