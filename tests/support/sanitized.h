// Whether this program is built under AddressSanitizer or ThreadSanitizer,
// which reserve terabytes of address space: limits on it cannot be tested
// there. GCC says so with its own macros, clang through __has_feature.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LASTEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LASTEST_SANITIZED 1
#endif
#endif
#ifndef LASTEST_SANITIZED
#define LASTEST_SANITIZED 0
#endif
