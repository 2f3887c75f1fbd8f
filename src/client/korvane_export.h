/* Marks the client library's public functions and classes: the shared
 * library is built with hidden visibility and exports only what carries
 * this mark. Installed as <korvane/korvane_export.h>. */
#ifndef KORVANE_EXPORT_H
#define KORVANE_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define KORVANE_EXPORT __attribute__((visibility("default")))
#else
#define KORVANE_EXPORT
#endif

#endif /* KORVANE_EXPORT_H */
