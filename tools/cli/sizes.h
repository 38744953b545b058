// Byte counts and rates as a person reads them.
#pragma once

#include <cstddef>
#include <string>

namespace kalax::cli {

// "512 B", "1.5 KiB", "3.2 MiB", "1.0 GiB": binary units, one decimal above bytes.
std::string human_size(size_t bytes);
// `bytes` over `seconds` as "1.5 MiB/s"; "-" when no time has passed.
std::string human_rate(size_t bytes, double seconds);

}  // namespace kalax::cli
