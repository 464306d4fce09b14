// spdlog, compiled into the core library in spdlog's compiled-library mode: the definitions its
// headers leave to a library (the -inl.h files) and the template instances spdlog's own library
// provides. The extension and every native peer link these, so the process has one registry,
// one default logger and one console mutex.

#ifndef SPDLOG_COMPILED_LIB
#error "spdlog is compiled into the core library: build with SPDLOG_COMPILED_LIB"
#endif

#include <memory>
#include <mutex>
#include <string>

#include <spdlog/async.h>
#include <spdlog/async_logger-inl.h>
#include <spdlog/cfg/helpers-inl.h>
#include <spdlog/common-inl.h>
#include <spdlog/details/backtracer-inl.h>
#include <spdlog/details/file_helper-inl.h>
#include <spdlog/details/log_msg-inl.h>
#include <spdlog/details/log_msg_buffer-inl.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/details/os-inl.h>
#include <spdlog/details/periodic_worker-inl.h>
#include <spdlog/details/registry-inl.h>
#include <spdlog/details/thread_pool-inl.h>
#include <spdlog/logger-inl.h>
#include <spdlog/pattern_formatter-inl.h>
#include <spdlog/sinks/ansicolor_sink-inl.h>
#include <spdlog/sinks/base_sink-inl.h>
#include <spdlog/sinks/basic_file_sink-inl.h>
#include <spdlog/sinks/rotating_file_sink-inl.h>
#include <spdlog/sinks/sink-inl.h>
#include <spdlog/sinks/stdout_color_sinks-inl.h>
#include <spdlog/sinks/stdout_sinks-inl.h>
#include <spdlog/spdlog-inl.h>

namespace spdlog::sinks {

template class SPDLOG_API base_sink<std::mutex>;
template class SPDLOG_API base_sink<details::null_mutex>;

template class SPDLOG_API basic_file_sink<std::mutex>;
template class SPDLOG_API basic_file_sink<details::null_mutex>;
template class SPDLOG_API rotating_file_sink<std::mutex>;
template class SPDLOG_API rotating_file_sink<details::null_mutex>;

template class SPDLOG_API stdout_sink_base<details::console_mutex>;
template class SPDLOG_API stdout_sink_base<details::console_nullmutex>;
template class SPDLOG_API stdout_sink<details::console_mutex>;
template class SPDLOG_API stdout_sink<details::console_nullmutex>;
template class SPDLOG_API stderr_sink<details::console_mutex>;
template class SPDLOG_API stderr_sink<details::console_nullmutex>;

template class SPDLOG_API ansicolor_sink<details::console_mutex>;
template class SPDLOG_API ansicolor_sink<details::console_nullmutex>;
template class SPDLOG_API ansicolor_stdout_sink<details::console_mutex>;
template class SPDLOG_API ansicolor_stdout_sink<details::console_nullmutex>;
template class SPDLOG_API ansicolor_stderr_sink<details::console_mutex>;
template class SPDLOG_API ansicolor_stderr_sink<details::console_nullmutex>;

}  // namespace spdlog::sinks

namespace spdlog {

template SPDLOG_API logger::logger(std::string name, sinks_init_list::iterator begin, sinks_init_list::iterator end);

// The console factories, for synchronous and asynchronous loggers.
template SPDLOG_API std::shared_ptr<logger> stdout_logger_mt<synchronous_factory>(const std::string&);
template SPDLOG_API std::shared_ptr<logger> stdout_logger_st<synchronous_factory>(const std::string&);
template SPDLOG_API std::shared_ptr<logger> stderr_logger_mt<synchronous_factory>(const std::string&);
template SPDLOG_API std::shared_ptr<logger> stderr_logger_st<synchronous_factory>(const std::string&);
template SPDLOG_API std::shared_ptr<logger> stdout_logger_mt<async_factory>(const std::string&);
template SPDLOG_API std::shared_ptr<logger> stdout_logger_st<async_factory>(const std::string&);
template SPDLOG_API std::shared_ptr<logger> stderr_logger_mt<async_factory>(const std::string&);
template SPDLOG_API std::shared_ptr<logger> stderr_logger_st<async_factory>(const std::string&);

template SPDLOG_API std::shared_ptr<logger> stdout_color_mt<synchronous_factory>(const std::string&, color_mode);
template SPDLOG_API std::shared_ptr<logger> stdout_color_st<synchronous_factory>(const std::string&, color_mode);
template SPDLOG_API std::shared_ptr<logger> stderr_color_mt<synchronous_factory>(const std::string&, color_mode);
template SPDLOG_API std::shared_ptr<logger> stderr_color_st<synchronous_factory>(const std::string&, color_mode);
template SPDLOG_API std::shared_ptr<logger> stdout_color_mt<async_factory>(const std::string&, color_mode);
template SPDLOG_API std::shared_ptr<logger> stdout_color_st<async_factory>(const std::string&, color_mode);
template SPDLOG_API std::shared_ptr<logger> stderr_color_mt<async_factory>(const std::string&, color_mode);
template SPDLOG_API std::shared_ptr<logger> stderr_color_st<async_factory>(const std::string&, color_mode);

}  // namespace spdlog
