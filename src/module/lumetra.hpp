// The surface of the _lumetra module: each subsystem's functions and classes,
// in their public order (module/module.cpp registers them).
#pragma once

#include <span>

#include "binding/callables.hpp"
#include "binding/classes.hpp"

namespace lumetra::py {

std::span<const Callable> data_bias_functions();
std::span<const Callable> model_bias_functions();
std::span<const Callable> model_perf_functions();
std::span<const Callable> drift_functions();

std::span<const ClassDecl> batch_drift_classes();
std::span<const ClassDecl> streaming_drift_classes();
std::span<const ClassDecl> monitor_classes();

}  // namespace lumetra::py
