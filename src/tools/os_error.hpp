// The text of a system error as the module reports it: "<C library message> (os error N)".
#pragma once

#include "kestrin.hpp"

namespace kestrin {

Text os_error_text(int error_number);

inline Failure os_failure(int error_number) {
    return Failure{FailureKind::os_error, os_error_text(error_number), error_number};
}

}  // namespace kestrin
