// SPDX-License-Identifier: MIT
/** @file
 * VORNLIB_API marks what Vornlib's shared library exports. The library is built with hidden
 * visibility, so everything not marked stays inside it; a static build exports nothing either
 * way, and the mark changes nothing there. Usable from C and C++. */
#ifndef VORNLIB_EXPORT_H
#define VORNLIB_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define VORNLIB_API __attribute__((visibility("default")))
#else
#define VORNLIB_API
#endif

#endif /* VORNLIB_EXPORT_H */
