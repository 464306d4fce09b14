#include <string>
#include <thread>

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>

#include <varnel/foundation.hpp>

#ifndef CONSUMER_MODULE_NAME
#define CONSUMER_MODULE_NAME foundation_consumer
#endif

namespace py = pybind11;
using namespace varnel::foundation;

PYBIND11_MODULE(CONSUMER_MODULE_NAME, module) {
#ifdef REGISTER_PID_CONFIG
    py::class_<PidConfig>(module, "PidConfig");
#endif
    module.def("default_pid_config", [] {
        PidConfig config;
        config.kp = 4.0;
        return config;
    });
    module.def("moved", [](Pose pose, float dx) {
        pose.position.x() += dx;
        pose.heading += 1.0f;
        return pose;
    });
    module.def("speed_mode", [] { return is_speed_mode_enabled(); });
    module.def("log_info", [](const std::string& message) { VARNEL_LOG(logging::Level::info, message); });
    // Native threads that log until the process ends, never joined.
    module.def("start_logging_threads", [](int count) {
        for (int t = 0; t < count; ++t) {
            std::thread([t] {
                const std::string message = "native thread " + std::to_string(t);
                for (;;) {
                    VARNEL_LOG(logging::Level::info, message);
                }
            }).detach();
        }
    });
    module.def("global_level_allows", [](int level) {
        return logging::is_enabled_for(static_cast<logging::Level>(level), __FILE__);
    });
}
