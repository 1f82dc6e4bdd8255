// Defines QV_SANITIZED_BUILD when this code is built with AddressSanitizer, which g++ and clang
// announce differently.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define QV_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_SANITIZED_BUILD 1
#endif
#endif
