#pragma once

#include <functional>

namespace platform {

// A two-way binding: reads and writes go through whoever owns the value.
template <typename T>
struct Binding
{
    std::function<T()> get;
    std::function<void(T)> set;
};

} // namespace platform
