// A quick look at a decoded request envelope without building a JSON tree.
//
// The scanner reads a small, common subset of JSON and answers either
// kEnvelopeFast, with exactly what cJSON_Parse and cJSON_GetObjectItem would
// yield for "uuid", "id", "type" and "data", or kEnvelopeNotSure for
// anything else, which the caller then parses with cJSON. It never refuses
// input: "not sure" covers bad input as well as good input outside the
// subset. The subset:
//   - the root is an object; whitespace is space, tab, CR or LF;
//   - "uuid" (a string), "id" and "type" (numbers) each appear exactly once,
//     keys compared as cJSON_GetObjectItem does (ASCII case ignored); a
//     second member matching one of them, or "data", is not handled;
//   - keys and the uuid hold no backslash and no byte below 0x20;
//   - "id" and "type" follow the JSON grammar, are at most 63 characters
//     long and are not followed by a character cJSON would take as part of
//     them;
//   - other members hold any value envelope_value_ok takes, nested at most
//     32 levels deep;
//   - "data" holds such a value, or an object, found by matching brackets
//     (strings and their escapes respected) and not checked further: the
//     caller parses that text alone with cJSON, or checks it with
//     envelope_value_ok when it does not need it;
//   - whatever follows the root object is ignored, as cJSON_Parse does.
//
// Pure functions: bytes in, result out; no logging, no global state of its
// own (numbers with a fraction or an exponent are read with strtod in the
// current locale, as cJSON reads them).
#pragma once

#include <cstddef>

enum {
    kEnvelopeFast = 0,     // the fields of envelope_t are what cJSON would give
    kEnvelopeNotSure = 1,  // outside the subset: ask cJSON
};

struct envelope_t {
    // The bytes of "uuid", inside the scanned text (the subset has no
    // escapes, so they are the string's value as they stand).
    const char *uuid = nullptr;
    size_t uuid_len = 0;
    // The numbers as cJSON holds them (valuedouble).
    double id = 0;
    double type = 0;
    // The text of the "data" object from its '{' to its matching '}'; null
    // when "data" is missing or is not an object.
    const char *data = nullptr;
    size_t data_len = 0;
};

// Scans `len` bytes of `text`, up to the first NUL byte as cJSON_Parse
// would. On kEnvelopeFast, `out` is filled and points into `text`; on
// kEnvelopeNotSure its content is unspecified.
int envelope_scan(const char *text, size_t len, envelope_t *out);

// Whether `len` bytes of `text` are exactly one JSON value, objects and
// arrays nested at most `max_levels` deep, that cJSON would parse as a
// whole: strict JSON whose numbers have at most 63 characters and whose
// strings hold no control byte and no \u escape of an unpaired surrogate.
// False ("not sure") for anything else, including some text cJSON takes.
// Nothing is built and no number is converted: a value that is not needed
// is checked at the cost of reading it once.
bool envelope_value_ok(const char *text, size_t len, int max_levels);
