/* Marks the library's public API; everything else is built with hidden visibility. */
#ifndef ZEL_EXPORT_H
#define ZEL_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define ZEL_API __attribute__((visibility("default")))
#else
#define ZEL_API
#endif

#endif
