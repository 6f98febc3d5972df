// The names a resource script may use for numbers: window, dialog and control styles and the
// ids of the standard buttons, with their platform values.
#pragma once

#include <cstdint>
#include <string_view>

namespace rc {

// False when `name` (case counts) is not one of them.
bool LookUpName(std::string_view name, int64_t* value);

}  // namespace rc
