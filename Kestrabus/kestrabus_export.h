#pragma once

// The library is built with hidden visibility; only what carries this macro is part of its ABI.
// The same attribute serves the library and its users, so no import variant is needed.
#define KESTRABUS_EXPORT __attribute__((visibility("default")))
