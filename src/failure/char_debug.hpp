// A character's debug form as failure messages show it: the character between single quotes,
// or \u{hex} between them for characters that would not show plainly.
#pragma once

#include "failure/text.hpp"

namespace quorel {

Text char_debug_form(char32_t cp);

}  // namespace quorel
