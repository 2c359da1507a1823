// Description texts of operating-system errors, in the form failure messages append:
//   Os { code: 2, kind: NotFound, message: "No such file or directory" }
#pragma once

#include <string_view>

#include "failure/text.hpp"

namespace quorel {

// The category name of an error number ("NotFound", "PermissionDenied", ..., "Uncategorized").
std::string_view error_kind_name(int error_number) noexcept;

// The C library's text for an error number, made valid UTF-8.
Text error_text(int error_number);

// "Os { code: N, kind: K, message: \"...\" }"
Text os_error_description(int error_number);

// "... (os error N)": an error's display form, as in "failed printing to stdout: ...".
Text os_error_display(int error_number);

}  // namespace quorel
